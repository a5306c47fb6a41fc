// Waiting on host descriptors without hanging: a deadline, a descriptor that
// cancels the wait, and a check that runs at least every kCheckInterval so
// the caller (the script binding) can act on signals while a thread waits.
//
// The check is either passed with the limits or, for host work whose
// signature carries no limits (running `useradd`, `id`, `pkill`), installed
// for the current thread with ScopedWaitCheck.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "common/expected.h"

namespace ferrowick {

using WaitClock = std::chrono::steady_clock;

// How often a waiting thread calls its check.
inline constexpr std::chrono::milliseconds kCheckInterval{100};

// Returns false when the wait must end at once (the caller has an exception
// to deliver). Runs on the waiting thread, which holds no native lock of the
// object it waits on while the check runs.
using WaitCheck = std::function<bool()>;

struct WaitLimits {
  std::optional<WaitClock::time_point> deadline;  // none: no time limit
  WaitCheck check;                                // empty: none
};

// The deadline `seconds` from now; none for a negative value (no limit).
std::optional<WaitClock::time_point> deadline_after(double seconds);

enum class WaitResult {
  kReady,        // `fd` reported one of `events`, an error or a hang-up
  kCancelled,    // `cancel_fd` became readable
  kTimedOut,     // the deadline passed first
  kInterrupted,  // the check returned false
};

// Waits for `events` on `fd` (a negative `cancel_fd` is ignored). A deadline
// already past still looks once, without waiting. Interrupted system calls
// are retried.
WaitResult wait_fd(int fd, short events, int cancel_fd, const WaitLimits& limits);

// A longer wait is made of slices: each a wait_fd (or a timed lock) bounded
// by one_slice(limits), and after_slice() between two of them.
//
// One slice of a longer wait: the caller's deadline, cut to one check
// interval when there is a check to run between slices. The check itself is
// left out: after_slice() runs it.
WaitLimits one_slice(const WaitLimits& limits);

// After a slice ended without a result: kTimedOut once the deadline has
// passed, kInterrupted when the check asks to stop, nothing to go on.
std::optional<WaitResult> after_slice(const WaitLimits& limits);

// One slice of writing `data` to the non-blocking `fd`, as writes of
// standard input do: writes until nothing is left (kReady), the slice
// ends with the pipe still full (kTimedOut: after_slice() decides what
// follows), or `cancel_fd` becomes readable (kCancelled). `data` keeps what
// was not written. A failed write gives its errno (0: a write of nothing).
Expected<WaitResult, int> write_slice(int fd, std::span<const std::uint8_t>& data, int cancel_fd,
                                      const WaitLimits& limits);

// The check installed for this thread, or nullptr.
const WaitCheck* ambient_wait_check();

// Installs `check` for the current thread for the life of this object.
class ScopedWaitCheck {
 public:
  explicit ScopedWaitCheck(const WaitCheck& check);
  ~ScopedWaitCheck();
  ScopedWaitCheck(const ScopedWaitCheck&) = delete;
  ScopedWaitCheck& operator=(const ScopedWaitCheck&) = delete;

 private:
  const WaitCheck* previous_;
};

}  // namespace ferrowick
