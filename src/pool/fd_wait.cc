#include "pool/fd_wait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

namespace ferrowick {

namespace {
thread_local const WaitCheck* t_check = nullptr;
}

std::optional<WaitClock::time_point> deadline_after(double seconds) {
  if (!(seconds >= 0) || std::isinf(seconds)) return std::nullopt;
  // About 292 years fit in the clock; anything longer is no limit at all.
  if (seconds > 9.0e9) return std::nullopt;
  return WaitClock::now() + std::chrono::duration_cast<WaitClock::duration>(std::chrono::duration<double>(seconds));
}

Expected<WaitResult, int> write_slice(int fd, std::span<const std::uint8_t>& data, int cancel_fd,
                                      const WaitLimits& limits) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), std::min<std::size_t>(data.size(), SSIZE_MAX));
    if (n > 0) {
      data = data.subspan(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      WaitResult r = wait_fd(fd, POLLOUT, cancel_fd, one_slice(limits));
      if (r == WaitResult::kCancelled) return r;
      if (r != WaitResult::kReady) return WaitResult::kTimedOut;
    } else if (n == 0 || errno != EINTR) {
      return Unexpected(n == 0 ? 0 : errno);
    }
  }
  return WaitResult::kReady;
}

WaitResult wait_fd(int fd, short events, int cancel_fd, const WaitLimits& limits) {
  pollfd fds[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
  const nfds_t count = cancel_fd >= 0 ? 2 : 1;
  for (;;) {
    // Slices no longer than the check interval, and none at all past the
    // deadline: one look, then the verdict.
    int slice = -1;
    if (limits.check) slice = static_cast<int>(kCheckInterval.count());
    if (limits.deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*limits.deadline - WaitClock::now()).count();
      left = std::max<decltype(left)>(left, 0);
      slice = slice < 0 ? static_cast<int>(std::min<decltype(left)>(left, 1 << 30))
                        : static_cast<int>(std::min<decltype(left)>(left, slice));
    }
    int n = ::poll(fds, count, slice);
    if (n < 0 && errno != EINTR) return WaitResult::kReady;  // a bad descriptor: let the caller's I/O report it
    if (n > 0) {
      if (count == 2 && fds[1].revents) return WaitResult::kCancelled;
      if (fds[0].revents) return WaitResult::kReady;
    }
    if (limits.deadline && WaitClock::now() >= *limits.deadline) return WaitResult::kTimedOut;
    if (n <= 0 && limits.check && !limits.check()) return WaitResult::kInterrupted;
  }
}

WaitLimits one_slice(const WaitLimits& limits) {
  WaitLimits slice;
  slice.deadline = limits.deadline;
  if (limits.check) {
    auto end = WaitClock::now() + kCheckInterval;
    slice.deadline = limits.deadline ? std::min(*limits.deadline, end) : end;
  }
  return slice;
}

std::optional<WaitResult> after_slice(const WaitLimits& limits) {
  if (limits.deadline && WaitClock::now() >= *limits.deadline) return WaitResult::kTimedOut;
  if (limits.check && !limits.check()) return WaitResult::kInterrupted;
  return std::nullopt;
}

const WaitCheck* ambient_wait_check() { return t_check; }

ScopedWaitCheck::ScopedWaitCheck(const WaitCheck& check) : previous_(t_check) { t_check = &check; }
ScopedWaitCheck::~ScopedWaitCheck() { t_check = previous_; }

}  // namespace ferrowick
