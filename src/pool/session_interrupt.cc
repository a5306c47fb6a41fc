// TerminalSession's interrupt: the foreground job of the shell's terminal
// signalled without waiting, the input it left unread discarded, and the
// next run() held back until the job has left the terminal.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "common/system_error.h"
#include "pool/session_internal.h"

namespace ferrowick {

using namespace session_internal;

std::optional<ShellTerminal> TerminalSession::terminal_now() const {
  // Under state_mu_, so that wait() cannot reap su (and free its pid) meanwhile.
  BlockingLock lk(state_mu_);
  if (closed_ || process_->reaped()) return std::nullopt;
  return shell_terminal(process_->pid());
}

Expected<void, SessionError> TerminalSession::interrupt(std::optional<int> signal) {
  Use use(*this);
  if (!use.ok()) return Unexpected(failure(kProcessNone));
  BlockingLock lk(state_mu_);  // as in terminal_now(); nothing here waits
  ChildProcess& child = use.child();
  const int in = child.stdin_fd();
  if (in < 0) return Unexpected(failure("Failed to get the stdin of the process"));
  if (child.reaped()) return Unexpected(failure("The shell has exited"));
  const std::optional<ShellTerminal> term = shell_terminal(child.pid());
  const UniqueFd tty = term ? open_terminal(term->tty) : UniqueFd();
  const pid_t foreground = term && term->foreground != term->shell_pgrp ? term->foreground : -1;
  if (!signal) {
    if (!term || input_has_room(child.pid(), in, tty.get())) {
      // A lone byte goes into the pipe whole, between the chunks of any
      // write in progress, so it needs no stream lock.
      static constexpr char kCtrlC = 0x03;
      ssize_t n;
      do n = ::write(in, &kCtrlC, 1);
      while (n < 0 && errno == EINTR);
      if (n == 1) {
        interrupted_fg_ = foreground;
        interrupted_ = true;
        return {};
      }
      if (n < 0 && errno != EAGAIN) return Unexpected(failure(kWriteFailed + system_error_text(errno)));
    }
    signal = SIGINT;
  }
  if (!term) return Unexpected(failure("Failed to find the terminal of the shell"));
  // First the input, then the signal: once the job is gone the shell reads
  // whatever is left, as commands.
  // su cannot relay (nor be emptied) while it is stuck printing into a full
  // output pipe: unless a reader is at it already, what it prints is kept
  // here for the next read().
  const bool reading = out_gate_.enter_until(WaitClock::now());
  auto read_output = [&] {
    const int out = child.stdout_fd();
    if (!reading || out < 0) return;
    char buf[65536];
    pollfd p{out, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
      const ssize_t n = ::read(out, buf, sizeof buf);
      if (n <= 0) break;
      keep({buf, static_cast<std::size_t>(n)});
    }
  };
  discard_pending_input(child.pid(), in, tty.get(), WaitClock::now() + std::chrono::milliseconds(70), read_output);
  if (reading) out_gate_.leave();
  if (int err = signal_foreground_job(*term, *signal)) {
    return Unexpected(failure("Failed to signal the foreground job: " + system_error_text(err)));
  }
  interrupted_fg_ = foreground;
  interrupted_ = true;
  return {};
}

std::optional<SessionError> TerminalSession::settle_after_interrupt(const WaitLimits& limits, bool& interrupted) {
  pid_t job;
  {
    BlockingLock lk(state_mu_);
    job = std::exchange(interrupted_fg_, -1);
    interrupted = std::exchange(interrupted_, false);
  }
  // A job that ignores the interrupt (a shell, an interpreter's prompt)
  // keeps the terminal: after this long the line goes to it, as typed.
  const auto give_up = WaitClock::now() + std::chrono::seconds(1);
  while (job > 0 && WaitClock::now() < give_up) {
    const std::optional<ShellTerminal> term = terminal_now();
    if (!term || term->foreground != job) return std::nullopt;
    WaitLimits slice = one_slice(limits);
    const auto soon = WaitClock::now() + std::chrono::milliseconds(2);
    slice.deadline = slice.deadline ? std::min(*slice.deadline, soon) : soon;
    if (wait_fd(wake_.get(), POLLIN, -1, slice) == WaitResult::kReady) return failure(kProcessNone);
    if (auto stop = between_slices(limits, "Timed out waiting for the command to finish")) return stop;
  }
  return std::nullopt;
}

bool TerminalSession::line_editing_off(const WaitLimits& limits) const {
  const std::optional<ShellTerminal> term = terminal_now();
  const UniqueFd tty = term ? open_terminal(term->tty) : UniqueFd();
  // Line editing puts the terminal in non-canonical mode while the shell
  // waits for a line; just after a command the shell may not be back there
  // yet, so a canonical terminal is looked at again for a little while.
  auto until = WaitClock::now() + std::chrono::milliseconds(200);
  if (limits.deadline) until = std::min(until, *limits.deadline);
  termios mode;
  while (tty.valid() && ::tcgetattr(tty.get(), &mode) == 0 && (mode.c_lflag & ICANON) != 0) {
    if (WaitClock::now() >= until) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace ferrowick
