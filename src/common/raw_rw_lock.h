// RawRwLock: a reader-writer lock in one 32-bit word, with a poison bit.
//
// Bits: 31 poisoned, 30 a writer holds it, 29 someone sleeps on the word,
// 0-28 the number of readers. Uncontended acquire and release are one atomic
// operation each; a thread that cannot get the lock spins briefly and then
// sleeps on the word (futex) until a release wakes it. Readers never wait for
// a writer that is merely queued, so a thread may take the read side twice.
// Not recursive for writers.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/thread_annotations.h"

namespace ferrowick {

// The lock's own operations are what the analysis takes on trust: their
// bodies move the word, which the analysis cannot read.
class CAPABILITY("mutex") RawRwLock {
 public:
  RawRwLock() = default;
  RawRwLock(const RawRwLock&) = delete;
  RawRwLock& operator=(const RawRwLock&) = delete;

  bool try_lock_shared() noexcept TRY_ACQUIRE_SHARED(true) NO_THREAD_SAFETY_ANALYSIS {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    while (!(s & kWriter)) {
      if (word_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  void lock_shared() noexcept ACQUIRE_SHARED() NO_THREAD_SAFETY_ANALYSIS {
    if (!try_lock_shared()) acquire_slow(false);
  }
  void unlock_shared() noexcept RELEASE_SHARED() NO_THREAD_SAFETY_ANALYSIS {
    const std::uint32_t prev = word_.fetch_sub(1, std::memory_order_release);
    if ((prev & kReaders) == 1 && (prev & kWaiters)) wake_all();
  }

  bool try_lock() noexcept TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    while (!(s & (kWriter | kReaders))) {
      if (word_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    }
    return false;
  }
  void lock() noexcept ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    if (!try_lock()) acquire_slow(true);
  }
  void unlock() noexcept RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    const std::uint32_t prev = word_.fetch_and(~(kWriter | kWaiters), std::memory_order_release);
    if (prev & kWaiters) wake(false);
  }

  // The poison bit survives every acquire and release.
  void poison() noexcept { word_.fetch_or(kPoisoned, std::memory_order_relaxed); }
  bool poisoned() const noexcept { return (word_.load(std::memory_order_relaxed) & kPoisoned) != 0; }
  // For diagnostics only: true while a writer holds the lock.
  bool write_locked() const noexcept { return (word_.load(std::memory_order_relaxed) & kWriter) != 0; }
  // For debug checks only: true while anyone holds the lock.
  bool locked() const noexcept { return (word_.load(std::memory_order_relaxed) & (kWriter | kReaders)) != 0; }

 private:
  static constexpr std::uint32_t kPoisoned = 1u << 31;
  static constexpr std::uint32_t kWriter = 1u << 30;
  static constexpr std::uint32_t kWaiters = 1u << 29;
  static constexpr std::uint32_t kReaders = kWaiters - 1;

  void acquire_slow(bool exclusive) noexcept;
  // Clears the waiters bit (the last reader leaving) and wakes every sleeper.
  void wake_all() noexcept { wake(true); }
  void wake(bool clear) noexcept;
  // Sleeps while the word still equals `expected`.
  void wait(std::uint32_t expected) noexcept;

  std::atomic<std::uint32_t> word_{0};
};

}  // namespace ferrowick
