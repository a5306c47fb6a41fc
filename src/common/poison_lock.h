// Mutex<T> and RwLock<T>: locks that own the data they guard and become
// poisoned when a guard is destroyed while a Panic unwinds through it.
//
// Taking a poisoned lock panics with kPoisonedLock, so an object whose
// invariant may have been broken half-way stays unusable until destroyed.
// Guards are move-only; a moved-from guard releases nothing.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "common/panic.h"

namespace ferrowick {

namespace detail {

// Marks `poisoned` when destroyed during unwinding that began after it was made.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(std::atomic<bool>* poisoned)
      : poisoned_(poisoned), depth_(std::uncaught_exceptions()) {}
  PoisonOnUnwind(PoisonOnUnwind&& o) noexcept
      : poisoned_(std::exchange(o.poisoned_, nullptr)), depth_(o.depth_) {}
  ~PoisonOnUnwind() {
    if (poisoned_ && std::uncaught_exceptions() > depth_) poisoned_->store(true);
  }
  PoisonOnUnwind& operator=(PoisonOnUnwind&&) = delete;

 private:
  std::atomic<bool>* poisoned_;
  int depth_;
};

}  // namespace detail

template <class T>
class Mutex {
 public:
  class Guard {
   public:
    T& operator*() const { return mu_->value_; }
    T* operator->() const { return &mu_->value_; }

   private:
    friend class Mutex;
    Guard(Mutex* mu, std::unique_lock<std::mutex> lk)
        : mu_(mu), lk_(std::move(lk)), poison_(&mu->poisoned_) {}
    Mutex* mu_;
    std::unique_lock<std::mutex> lk_;
    detail::PoisonOnUnwind poison_;  // destroyed first: poisons before unlocking
  };

  Mutex() = default;
  template <class... A>
  explicit Mutex(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}
  explicit Mutex(T v) : value_(std::move(v)) {}

  Guard lock() {
    std::unique_lock<std::mutex> lk(mu_);
    if (poisoned_.load()) panic(kPoisonedLock);
    return Guard(this, std::move(lk));
  }
  bool is_poisoned() const { return poisoned_.load(); }
  // Direct access for a sole owner (construction, destruction).
  T& unsafe_get() { return value_; }

 private:
  std::mutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_{};
};

template <class T>
class RwLock {
 public:
  class ReadGuard {
   public:
    const T& operator*() const { return rw_->value_; }
    const T* operator->() const { return &rw_->value_; }

   private:
    friend class RwLock;
    ReadGuard(const RwLock* rw, std::shared_lock<std::shared_mutex> lk)
        : rw_(rw), lk_(std::move(lk)), poison_(&rw->poisoned_) {}
    const RwLock* rw_;
    std::shared_lock<std::shared_mutex> lk_;
    detail::PoisonOnUnwind poison_;
  };
  class WriteGuard {
   public:
    T& operator*() const { return rw_->value_; }
    T* operator->() const { return &rw_->value_; }

   private:
    friend class RwLock;
    WriteGuard(RwLock* rw, std::unique_lock<std::shared_mutex> lk)
        : rw_(rw), lk_(std::move(lk)), poison_(&rw->poisoned_) {}
    RwLock* rw_;
    std::unique_lock<std::shared_mutex> lk_;
    detail::PoisonOnUnwind poison_;
  };

  RwLock() = default;
  template <class... A>
  explicit RwLock(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}

  ReadGuard read() const {
    std::shared_lock<std::shared_mutex> lk(mu_);
    if (poisoned_.load()) panic(kPoisonedLock);
    return ReadGuard(this, std::move(lk));
  }
  WriteGuard write() {
    std::unique_lock<std::shared_mutex> lk(mu_);
    if (poisoned_.load()) panic(kPoisonedLock);
    return WriteGuard(this, std::move(lk));
  }
  // Non-blocking read used by diagnostics; false when a writer holds the lock.
  template <class F>
  bool try_read(F&& f) const {
    std::shared_lock<std::shared_mutex> lk(mu_, std::try_to_lock);
    if (!lk.owns_lock()) return false;
    f(value_);
    return true;
  }
  bool is_poisoned() const { return poisoned_.load(); }

 private:
  mutable std::shared_mutex mu_;
  mutable std::atomic<bool> poisoned_{false};
  T value_{};
};

}  // namespace ferrowick
