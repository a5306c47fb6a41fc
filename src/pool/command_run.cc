// CommandProcess::run_to_end: the one loop behind exec. One thread polls
// the command's standard input, both output streams and (once the streams
// have ended) the leader's pidfd, so the command can never stall on a full
// pipe while the host waits on another.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "pool/capped_output.h"
#include "pool/command_process.h"

namespace ferrowick {

namespace {

// How long the streams may stay open once the tree was killed: the kernel
// closes a killed process's descriptors as it dies, so only a process the
// kill could not find (without control groups: command_tree.h) keeps them
// longer.
constexpr std::chrono::milliseconds kDrainGrace{250};

// Bytes read from one stream per wake-up before the others get a turn.
constexpr std::size_t kChunk = std::size_t{1} << 16;
constexpr int kChunksPerTurn = 4;

// The poll timeout of one round: up to the deadline, and no longer than the
// check interval when there is a check; -1 for no limit.
int round_timeout(const WaitLimits& limits) {
  const WaitLimits slice = one_slice(limits);
  if (!slice.deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*slice.deadline - WaitClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Reads what `fd` holds into `sink`; false at end of stream or on an error.
bool drain(int fd, CappedOutput& sink, std::vector<char>& buf) {
  for (int turn = 0; turn < kChunksPerTurn; ++turn) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) {
      sink.append(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
  return true;
}

}  // namespace

Expected<CommandOutcome, SessionError> CommandProcess::run_to_end(std::span<const std::uint8_t> input,
                                                                  std::optional<std::size_t> max_output,
                                                                  const WaitLimits& limits) {
  // The command starts meanwhile, on another CPU.
  group_->tend_stock();
  CommandOutcome outcome;
  CappedOutput caps[2] = {CappedOutput(max_output), CappedOutput(max_output)};
  std::vector<char> buf(kChunk);
  int in_fd;
  {
    BlockingLock lk(mu_);
    if (input.empty()) stdin_.reset();  // the command sees the end of its input at once
    in_fd = stdin_.get();
  }
  auto close_stdin_now = [&] {
    BlockingLock lk(mu_);
    stdin_.reset();
  };
  // 0: standard input while there is input to feed; 1, 2: the streams;
  // 3: the pidfd, once both streams have ended.
  pollfd fds[4] = {{in_fd, POLLOUT, 0}, {out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {-1, POLLIN, 0}};
  WaitLimits bound = limits;
  bool killed = false;
  auto kill_now = [&] {
    kill_tree();
    killed = true;
    // The streams end as the tree dies; the check has had its say.
    bound = WaitLimits{WaitClock::now() + kDrainGrace, {}};
  };
  for (;;) {
    const bool streams_open = fds[1].fd >= 0 || fds[2].fd >= 0;
    if (!streams_open) {
      BlockingLock lk(mu_);
      if (observe_exit_locked(false)) break;
      fds[3].fd = pidfd_;  // without a pidfd, the rounds below look every few ms
    }
    int timeout = round_timeout(bound);
    if (!streams_open && pidfd_ < 0) timeout = timeout < 0 ? 5 : std::min(timeout, 5);
    int n = ::poll(fds, 4, timeout);
    if (n < 0 && errno != EINTR) break;  // cannot happen with valid descriptors
    if (n > 0) {
      if (fds[0].fd >= 0 && fds[0].revents) {
        ssize_t w = ::write(fds[0].fd, input.data(), std::min<std::size_t>(input.size(), SSIZE_MAX));
        if (w > 0) input = input.subspan(static_cast<std::size_t>(w));
        // Done, or the command stopped reading (EPIPE): it gets no more.
        if (input.empty() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
          close_stdin_now();
          fds[0].fd = -1;
        }
      }
      for (int i = 1; i <= 2; ++i) {
        if (fds[i].fd >= 0 && fds[i].revents && !drain(fds[i].fd, caps[i - 1], buf)) fds[i].fd = -1;
      }
      continue;
    }
    if (auto stop = after_slice(bound)) {
      if (killed) break;  // the grace after the kill is over
      if (*stop == WaitResult::kInterrupted) {
        kill_tree();
        return Unexpected(SessionError{SessionError::Kind::kInterrupted, {}});
      }
      outcome.timed_out = true;
      kill_now();
    }
  }
  bool exited;
  {
    BlockingLock lk(mu_);
    exited = observe_exit_locked(false);
  }
  // Killed leaders die at once; one past the grace is waited for, as
  // close() would.
  if (!exited && !killed) kill_tree();
  {
    BlockingLock lk(mu_);
    observe_exit_locked(true);
    outcome.status = wait_status_;
    ran_to_end_ = !killed;
  }
  // Closing takes what the tree left in the background; the figures are
  // then the tree's whole, read once.
  close();
  outcome.usage = usage();
  outcome.truncated = caps[0].truncated() || caps[1].truncated();
  outcome.out = caps[0].take();
  outcome.err = caps[1].take();
  return outcome;
}

}  // namespace ferrowick
