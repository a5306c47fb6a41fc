#include "common/raw_rw_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace ferrowick {

namespace {

constexpr int kSpins = 64;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void RawRwLock::wait(std::uint32_t expected) noexcept {
  // Returns at once if the word changed meanwhile; the caller re-decides.
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void RawRwLock::wake(bool clear) noexcept {
  // Whoever clears the waiters bit wakes everyone who slept on it, so no
  // sleeper is missed; those that still cannot proceed set it again.
  if (clear) word_.fetch_and(~kWaiters, std::memory_order_relaxed);
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void RawRwLock::acquire_slow(bool exclusive) noexcept {
  // A reader waits only for a writer; a writer for everyone.
  const std::uint32_t busy = exclusive ? (kWriter | kReaders) : kWriter;
  for (int spin = 0;; ++spin) {
    std::uint32_t s = word_.load(std::memory_order_relaxed);
    if (!(s & busy)) {
      const std::uint32_t taken = exclusive ? (s | kWriter) : (s + 1);
      if (word_.compare_exchange_weak(s, taken, std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if (spin < kSpins) {
      cpu_relax();
      continue;
    }
    if (!(s & kWaiters) &&
        !word_.compare_exchange_weak(s, s | kWaiters, std::memory_order_relaxed, std::memory_order_relaxed))
      continue;
    wait(s | kWaiters);
  }
}

}  // namespace ferrowick
