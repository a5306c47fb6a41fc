// BlockingMutex and BlockingLock: a std::mutex the thread-safety analysis
// can see, for locks that a thread may sleep on through a condition
// variable (the standard library's mutex carries no annotations).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace ferrowick {

class CAPABILITY("mutex") BlockingMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class BlockingLock;
  std::mutex mu_;
};

// Holds a BlockingMutex for its lifetime. The waits give the mutex up while
// they sleep and hold it again when they return, so wherever the holder's
// code runs the mutex is held, as the analysis assumes.
class SCOPED_CAPABILITY BlockingLock {
 public:
  explicit BlockingLock(BlockingMutex& mu) ACQUIRE(mu) NO_THREAD_SAFETY_ANALYSIS : lk_(mu.mu_) {}
  ~BlockingLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {}
  BlockingLock(const BlockingLock&) = delete;
  BlockingLock& operator=(const BlockingLock&) = delete;

  // One sleep on `cv` (it may end spuriously: callers loop on their
  // condition).
  void wait(std::condition_variable& cv) { cv.wait(lk_); }
  // As wait(), but false once `deadline` has passed.
  template <class Clock, class Duration>
  bool wait_until(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& deadline) {
    return cv.wait_until(lk_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lk_;
};

}  // namespace ferrowick
