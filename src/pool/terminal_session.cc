#include "pool/terminal_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "common/system_error.h"
#include "pool/account_processes.h"
#include "pool/run_framing.h"
#include "pool/session_internal.h"

namespace ferrowick {

using namespace session_internal;

namespace {

template <class T>
Expected<T, std::string> message_only(Expected<T, SessionError> r) {
  if (!r) return Unexpected(std::move(r.error().message));
  if constexpr (std::is_void_v<T>) return {};
  else return std::move(*r);
}

}  // namespace

TerminalSession::TerminalSession(SharedUser user, ChildProcess process, UniqueFd wake)
    : user_(std::move(user)), process_(std::move(process)), wake_(std::move(wake)) {
  // Only this process writes to the shell's input: non-blocking, so a write
  // takes what fits and waits in poll(), where close() can wake it.
  int fd = process_->stdin_fd();
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

TerminalSession::~TerminalSession() {
  try {
    close();
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

namespace {

// How long close() lets `su` reap its shell.
constexpr std::chrono::milliseconds kSuGrace{20};

// Kills the shell `su` started and lets `su` reap it before `su` itself is
// killed: killed first, `su` would leave the shell to init, which reaps
// late on some hosts, and an unreaped shell still counts against the
// account's process limit.
void end_shell_first(ChildProcess& su) {
  if (su.reaped() || su.pidfd() < 0) return;
  std::vector<UniqueFd> shells = kill_unprivileged_children(su.pid());
  const auto until = WaitClock::now() + kSuGrace;
  for (const UniqueFd& shell : shells) {
    while (!reaped_by_parent(shell.get()) && WaitClock::now() < until) {
      pollfd exited{su.pidfd(), POLLIN, 0};
      if (::poll(&exited, 1, 0) > 0) return;  // su is gone, and the shell with it
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
}

}  // namespace

void TerminalSession::close() {
  std::optional<ChildProcess> child;
  int kill_error = 0;
  {
    BlockingLock lk(state_mu_);
    if (closed_) return;
    closed_ = true;
    const std::uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    end_shell_first(*process_);
    kill_error = process_->kill(SIGKILL);
    if (kill_error == ESRCH) kill_error = 0;  // reaped by something else: nothing to kill
    while (active_ != 0) lk.wait(idle_);
    child.emplace(std::move(*process_));
    process_.reset();
  }
  child->wait();  // a failed wait leaves nothing more to do
  child->close_pipes();
  // The rest of the tree, detached or not, goes with the group.
  if (group_) group_->finish();
  if (child->reaped() && !child->lost()) {
    BlockingLock lk(rusage_mu_);
    su_usage_ = usage_of_rusage(child->rusage());
  }
  if (kill_error != 0) panic("Failed to kill the terminal session");
}

CgroupUsage TerminalSession::usage() const {
  CgroupUsage u = group_ ? group_->usage() : CgroupUsage{};
  if (std::string_view(u.source) != "rusage") return u;
  BlockingLock lk(rusage_mu_);
  if (su_usage_) return *su_usage_;
  return u;
}

bool TerminalSession::is_closed() const {
  BlockingLock lk(state_mu_);
  return closed_;
}

pid_t TerminalSession::pid() const {
  BlockingLock lk(state_mu_);
  return closed_ ? -1 : process_->pid();
}

int TerminalSession::stdout_fd() const {
  BlockingLock lk(state_mu_);
  return closed_ ? -1 : process_->stdout_fd();
}

int TerminalSession::stderr_fd() const {
  BlockingLock lk(state_mu_);
  return closed_ ? -1 : process_->stderr_fd();
}

bool TerminalSession::Gate::enter_until(std::optional<WaitClock::time_point> deadline) {
  BlockingLock lk(mu_);
  while (busy_) {
    if (!deadline) lk.wait(free_);
    else if (!lk.wait_until(free_, *deadline) && busy_) return false;
  }
  busy_ = true;
  return true;
}

void TerminalSession::Gate::leave() {
  {
    BlockingLock lk(mu_);
    busy_ = false;
  }
  free_.notify_one();
}

Expected<TerminalSession::GatePass, SessionError> TerminalSession::enter(Gate& gate, const WaitLimits& limits,
                                                                        const char* timeout_text) {
  for (;;) {
    if (gate.enter_until(one_slice(limits).deadline)) return GatePass(&gate);
    if (auto stop = between_slices(limits, timeout_text)) return Unexpected(std::move(*stop));
  }
}

std::size_t TerminalSession::take_kept(std::span<std::uint8_t> buffer) {
  BlockingLock lk(kept_mu_);
  const std::size_t n = std::min(buffer.size(), kept_.size() - kept_pos_);
  std::memcpy(buffer.data(), kept_.data() + kept_pos_, n);
  kept_pos_ += n;
  if (kept_pos_ == kept_.size()) {
    kept_.clear();
    kept_pos_ = 0;
  }
  return n;
}

void TerminalSession::keep(std::string_view bytes) {
  if (bytes.empty()) return;
  BlockingLock lk(kept_mu_);
  kept_.erase(0, kept_pos_);
  kept_pos_ = 0;
  kept_.append(bytes);
}

Expected<std::size_t, SessionError> TerminalSession::read(Stream stream, std::span<std::uint8_t> buffer,
                                                          const WaitLimits& limits) {
  const bool out = stream == Stream::kStdout;
  const char* timeout_text = out ? "Timed out waiting for stdout" : "Timed out waiting for stderr";
  auto pass = enter(out ? out_gate_ : err_gate_, limits, timeout_text);
  if (!pass) return Unexpected(std::move(pass.error()));
  return read_fd(stream, buffer, limits, true);
}

Expected<std::size_t, SessionError> TerminalSession::read_fd(Stream stream, std::span<std::uint8_t> buffer,
                                                             const WaitLimits& limits, bool kept_first) {
  const bool out = stream == Stream::kStdout;
  for (;;) {
    {
      Use use(*this);
      if (!use.ok()) return Unexpected(failure(kProcessNone));
      const int fd = out ? use.child().stdout_fd() : use.child().stderr_fd();
      if (fd < 0) {
        return Unexpected(failure(out ? "Failed to get the stdout of the process" : "Failed to get the stderr of the process"));
      }
      if (buffer.empty()) return std::size_t{0};
      if (out && kept_first) {
        if (std::size_t n = take_kept(buffer)) return n;
      }
      WaitResult r = wait_fd(fd, POLLIN, wake_.get(), one_slice(limits));
      if (r == WaitResult::kCancelled) return Unexpected(failure(kProcessNone));
      if (r == WaitResult::kReady) {
        // poll() saw data (or the end) and this call holds the stream: the
        // read returns at once.
        ssize_t n = ::read(fd, buffer.data(), std::min<std::size_t>(buffer.size(), SSIZE_MAX));
        if (n < 0) return Unexpected(failure(out ? "Failed to read stdout" : "Failed to read stderr"));
        return static_cast<std::size_t>(n);
      }
    }
    if (auto stop = between_slices(limits, out ? "Timed out waiting for stdout" : "Timed out waiting for stderr")) {
      return Unexpected(std::move(*stop));
    }
  }
}

Expected<void, SessionError> TerminalSession::write(std::span<const std::uint8_t> data, const WaitLimits& limits) {
  auto pass = enter(in_gate_, limits, "Timed out waiting to write to the stdin of the process");
  if (!pass) return Unexpected(std::move(pass.error()));
  return write_fd(data, limits);
}

Expected<void, SessionError> TerminalSession::write_fd(std::span<const std::uint8_t> data, const WaitLimits& limits) {
  const std::size_t total = data.size();
  for (;;) {
    {
      Use use(*this);
      if (!use.ok()) return Unexpected(failure(kProcessNone));
      const int fd = use.child().stdin_fd();
      if (fd < 0) return Unexpected(failure("Failed to get the stdin of the process"));
      auto r = write_slice(fd, data, wake_.get(), limits);
      if (!r) {
        return Unexpected(failure(kWriteFailed + (r.error() ? system_error_text(r.error())
                                                            : std::string("failed to write whole buffer"))));
      }
      if (*r == WaitResult::kReady) return {};
      if (*r == WaitResult::kCancelled) return Unexpected(failure(kProcessNone));
    }
    const std::string text = "Timed out after writing " + std::to_string(total - data.size()) + " of " +
                             std::to_string(total) + " bytes to the stdin of the process";
    if (auto stop = between_slices(limits, text.c_str())) return Unexpected(std::move(*stop));
  }
}

Expected<int, SessionError> TerminalSession::wait(const WaitLimits& limits) {
  for (;;) {
    {
      Use use(*this);
      if (!use.ok()) return Unexpected(failure(kProcessNone));
      ChildProcess& child = use.child();
      int pidfd;
      {
        BlockingLock lk(state_mu_);
        if (child.reaped() || child.try_reap()) {
          if (child.lost()) return Unexpected(failure("Failed to wait for the process: " + system_error_text(ECHILD)));
          const int status = child.wait_status();
          return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
        }
        pidfd = child.pidfd();
      }
      WaitLimits slice = one_slice(limits);
      // Without a pidfd there is nothing to poll for the exit: look again
      // every few milliseconds.
      if (pidfd < 0) {
        auto soon = WaitClock::now() + std::chrono::milliseconds(5);
        slice.deadline = slice.deadline ? std::min(*slice.deadline, soon) : soon;
      }
      WaitResult r = wait_fd(pidfd >= 0 ? pidfd : wake_.get(), POLLIN, pidfd >= 0 ? wake_.get() : -1, slice);
      if (r == WaitResult::kCancelled || (pidfd < 0 && r == WaitResult::kReady)) {
        return Unexpected(failure(kProcessNone));
      }
      if (r == WaitResult::kReady) continue;
    }
    if (auto stop = between_slices(limits, "Timed out waiting for the process to exit")) {
      return Unexpected(std::move(*stop));
    }
  }
}

Expected<RunResult, SessionError> TerminalSession::run(std::string_view command, const WaitLimits& limits,
                                                       std::size_t max_output) {
  if (command.find('\n') != std::string_view::npos) {
    return Unexpected(failure("The command must be a single line: it contains a line feed"));
  }
  if (command.find('\0') != std::string_view::npos) {
    return Unexpected(failure("The command must not contain a NUL character"));
  }
  const char* timeout_text = "Timed out waiting for the command to finish";
  auto pass = enter(run_gate_, limits, timeout_text);
  if (!pass) return Unexpected(std::move(pass.error()));
  const std::string token = new_run_token();
  const std::string nonce = new_run_token();
  const std::string line = framed_command_line(command, token);
  // Without line editing the terminal cuts a longer line, and the shell
  // then waits for the rest of a quote that never comes.
  if (line.size() > kCanonicalLineLimit && line_editing_off(limits)) {
    return Unexpected(failure("The command is too long for the terminal without line editing: " +
                              std::to_string(line.size()) + " bytes with the framing, at most " +
                              std::to_string(kCanonicalLineLimit)));
  }
  bool interrupted = false;
  if (auto stop = settle_after_interrupt(limits, interrupted)) return Unexpected(std::move(*stop));
  // After an interrupt, a piece of a line the job left unread may still sit
  // in the terminal: Ctrl-U (the terminal's, and line editing's, "discard
  // the line") keeps it from joining this line.
  const std::string sent_line = interrupted ? "\x15" + line : line;
  auto sent = write({reinterpret_cast<const std::uint8_t*>(sent_line.data()), sent_line.size()}, limits);
  if (!sent) return Unexpected(std::move(sent.error()));
  // The shell runs the command meanwhile.
  if (group_) group_->tend_stock();

  FrameScanner frame(token, nonce, line, max_output);
  std::vector<std::uint8_t> chunk(std::size_t{1} << 16);
  while (frame.state() != FrameScanner::State::kDone) {
    auto stream = enter(out_gate_, limits, timeout_text);
    auto n = stream ? read_fd(Stream::kStdout, chunk, limits, false)
                    : Expected<std::size_t, SessionError>(Unexpected(std::move(stream.error())));
    if (!n || *n == 0) {
      // Nothing that was read is lost to later reads.
      keep(frame.before());
      keep(frame.output());
      keep(frame.rest());
      if (!n && n.error().kind == SessionError::Kind::kTimedOut) return Unexpected(timeout(timeout_text));
      if (!n) return Unexpected(std::move(n.error()));
      return Unexpected(failure("The shell exited before the command finished"));
    }
    const FrameScanner::State was = frame.state();
    if (frame.feed({reinterpret_cast<const char*>(chunk.data()), *n}) == FrameScanner::State::kAwaiting &&
        was != FrameScanner::State::kAwaiting) {
      // The command has ended and the shell waits for the nonce.
      const std::string answer = nonce + "\n";
      auto told = write({reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()}, limits);
      if (!told) return Unexpected(std::move(told.error()));
    }
  }
  keep(frame.before());
  keep(frame.rest());
  return RunResult{frame.status(), frame.output()};
}

Expected<void, std::string> TerminalSession::write(std::span<const std::uint8_t> data) {
  return message_only(write(data, WaitLimits{}));
}

Expected<std::size_t, std::string> TerminalSession::read_stdout(std::span<std::uint8_t> buffer) {
  return message_only(read(Stream::kStdout, buffer, WaitLimits{}));
}

Expected<std::size_t, std::string> TerminalSession::read_stderr(std::span<std::uint8_t> buffer) {
  return message_only(read(Stream::kStderr, buffer, WaitLimits{}));
}

}  // namespace ferrowick
