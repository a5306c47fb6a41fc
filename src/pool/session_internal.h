// What the files of TerminalSession share and nobody else uses: the
// failure texts and helpers of its calls, and Use, which counts the calls
// that hold the child's descriptors.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "pool/terminal_session.h"

namespace ferrowick::session_internal {

inline const char* const kProcessNone = "The process is None";
inline const char* const kWriteFailed = "Failed to write to the stdin of the process: ";

inline SessionError failure(std::string message) { return {SessionError::Kind::kFailed, std::move(message)}; }
inline SessionError timeout(std::string message) { return {SessionError::Kind::kTimedOut, std::move(message)}; }
inline SessionError interrupted() { return {SessionError::Kind::kInterrupted, {}}; }

// After a slice ended without a result: the error that ends the call, if
// the deadline has passed or the check asks to stop.
inline std::optional<SessionError> between_slices(const WaitLimits& limits, const char* timeout_text) {
  auto verdict = after_slice(limits);
  if (!verdict) return std::nullopt;
  return *verdict == WaitResult::kTimedOut ? timeout(timeout_text) : interrupted();
}

}  // namespace ferrowick::session_internal

namespace ferrowick {

// A call that uses the child's descriptors: close() waits until none is
// left before it closes them. Fails (ok() is false) once close() has begun.
class TerminalSession::Use {
 public:
  explicit Use(TerminalSession& s) : s_(s) {
    BlockingLock lk(s.state_mu_);
    ok_ = !s.closed_;
    if (ok_) ++s.active_;
  }
  ~Use() {
    if (!ok_) return;
    BlockingLock lk(s_.state_mu_);
    if (--s_.active_ == 0 && s_.closed_) s_.idle_.notify_all();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  bool ok() const { return ok_; }
  // close() moves the child out only once no Use is left: a Use reads it
  // without the lock.
  ChildProcess& child() const NO_THREAD_SAFETY_ANALYSIS { return *s_.process_; }

 private:
  TerminalSession& s_;
  bool ok_;
};

}  // namespace ferrowick
