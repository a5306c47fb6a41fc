// Mutex<T> and RwLock<T>: locks that own the data they guard and become
// poisoned when a guard is released while a Panic unwinds through it.
//
// Taking a poisoned lock panics with kPoisonedLock, so an object whose
// invariant may have been broken half-way stays unusable until destroyed.
// Any other exception (an allocation failure) releases the lock untouched:
// code that allocates under a lock must allocate before it changes anything.
// Both are one word (RawRwLock) plus the value. Guards are move-only; a
// moved-from guard releases nothing.
//
// Thread-safety analysis: the value is GUARDED_BY the lock word, so no code
// of these classes touches it without the lock. A guard leaves lock() and
// lives on in its caller, which the analysis cannot follow; the value is
// reachable only through a guard, so holding a guard is holding the lock.
#pragma once

#include <utility>

#include "common/panic.h"
#include "common/raw_rw_lock.h"
#include "common/thread_annotations.h"

namespace ferrowick {

namespace detail {

// Releases `lock` (exclusively or shared), poisoning it first when a Panic
// made after the guard is unwinding through the release. Whoever took the
// lock hands it to this object, out of the analysis's sight.
template <bool Exclusive>
class LockRelease {
 public:
  explicit LockRelease(RawRwLock* lock) noexcept : lock_(lock), panics_(::ferrowick::live_panics()) {}
  LockRelease(LockRelease&& o) noexcept : lock_(std::exchange(o.lock_, nullptr)), panics_(o.panics_) {}
  LockRelease& operator=(LockRelease&&) = delete;
  ~LockRelease() NO_THREAD_SAFETY_ANALYSIS {
    if (!lock_) return;
    if (::ferrowick::live_panics() > panics_) lock_->poison();
    if constexpr (Exclusive) {
      lock_->unlock();
    } else {
      lock_->unlock_shared();
    }
  }

 private:
  RawRwLock* lock_;
  int panics_;
};

// Takes `lock` and panics (releasing it again) if it is poisoned.
inline void checked_lock(RawRwLock& lock) ACQUIRE(lock) {
  lock.lock();
  if (lock.poisoned()) {
    lock.unlock();
    panic(kPoisonedLock);
  }
}
inline void checked_lock_shared(RawRwLock& lock) ACQUIRE_SHARED(lock) {
  lock.lock_shared();
  if (lock.poisoned()) {
    lock.unlock_shared();
    panic(kPoisonedLock);
  }
}

}  // namespace detail

template <class T>
class Mutex {
 public:
  class Guard {
   public:
    T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return mu_->value_; }
    T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &mu_->value_; }

   private:
    friend class Mutex;
    explicit Guard(Mutex* mu) : mu_(mu), release_(&mu->lock_) {}
    Mutex* mu_;
    detail::LockRelease<true> release_;
  };

  Mutex() = default;
  template <class... A>
  explicit Mutex(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}
  explicit Mutex(T v) : value_(std::move(v)) {}

  // The guard holds the lock from here on.
  Guard lock() NO_THREAD_SAFETY_ANALYSIS {
    detail::checked_lock(lock_);
    return Guard(this);
  }
  bool is_poisoned() const { return lock_.poisoned(); }
  // Direct access for a sole owner (construction, destruction).
  T& unsafe_get() NO_THREAD_SAFETY_ANALYSIS { return value_; }

 private:
  RawRwLock lock_;
  T value_ GUARDED_BY(lock_){};
};

template <class T>
class RwLock {
 public:
  class ReadGuard {
   public:
    const T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return rw_->value_; }
    const T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &rw_->value_; }

   private:
    friend class RwLock;
    explicit ReadGuard(const RwLock* rw) : rw_(rw), release_(&rw->lock_) {}
    const RwLock* rw_;
    detail::LockRelease<false> release_;
  };
  class WriteGuard {
   public:
    T& operator*() const NO_THREAD_SAFETY_ANALYSIS { return rw_->value_; }
    T* operator->() const NO_THREAD_SAFETY_ANALYSIS { return &rw_->value_; }

   private:
    friend class RwLock;
    explicit WriteGuard(RwLock* rw) : rw_(rw), release_(&rw->lock_) {}
    RwLock* rw_;
    detail::LockRelease<true> release_;
  };

  RwLock() = default;
  template <class... A>
  explicit RwLock(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}

  ReadGuard read() const NO_THREAD_SAFETY_ANALYSIS {
    detail::checked_lock_shared(lock_);
    return ReadGuard(this);
  }
  WriteGuard write() NO_THREAD_SAFETY_ANALYSIS {
    detail::checked_lock(lock_);
    return WriteGuard(this);
  }
  // Non-blocking read used by diagnostics; false when a writer holds the lock.
  template <class F>
  bool try_read(F&& f) const NO_THREAD_SAFETY_ANALYSIS {
    if (!lock_.try_lock_shared()) return false;
    detail::LockRelease<false> release(&lock_);
    f(value_);
    return true;
  }
  bool is_poisoned() const { return lock_.poisoned(); }
  // The value without the lock, for callers that exclude writers by other
  // means (the file system's namespace lock for directories) or own it alone.
  const T& peek() const NO_THREAD_SAFETY_ANALYSIS { return value_; }
  T& unsafe_get() NO_THREAD_SAFETY_ANALYSIS { return value_; }

 private:
  mutable RawRwLock lock_;
  T value_ GUARDED_BY(lock_){};
};

}  // namespace ferrowick
