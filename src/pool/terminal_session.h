// TerminalSession: a /bin/bash shell running as a pool account.
//
// The shell is started through `su -P`, in the account's home, with its
// standard input, output and error on pipes; `su` runs the shell on a
// pseudo-terminal of its own and relays between it and the pipes, so the
// shell is interactive (prompts, echo, line editing, job control) and what
// it prints arrives with "\r\n" line ends. Each read is one read(2) of
// whatever the shell has printed so far. A session holds a reference to its
// User, so the account is not released while the session exists.
//
// Full duplex: a read of standard output, a read of standard error and a
// write may run at the same time on different threads; each stream
// serialises only its own calls. close() never waits behind a blocked call:
// it wakes every waiting call (which then fails with "The process is None"),
// kills and reaps `su`, and closes the pipes once no call uses them. Every
// wait can be bounded (WaitLimits) and runs its check between slices, with
// no lock of the session held.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/blocking_mutex.h"
#include "common/expected.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"
#include "pool/child_process.h"
#include "pool/fd_wait.h"
#include "pool/launcher.h"
#include "pool/session_group.h"
#include "pool/shell_terminal.h"
#include "pool/user_pool.h"
#include "terminal/terminal.h"

namespace ferrowick {

// Why a bounded session call ended without its result.
struct SessionError {
  enum class Kind {
    kFailed,       // `message` says why (the texts of the unbounded calls)
    kTimedOut,     // the deadline passed; `message` says what was waited for
    kInterrupted,  // the check asked to stop; nothing was lost
  };
  Kind kind = Kind::kFailed;
  std::string message;
};

// What run() returns: the exit status and everything the command printed.
struct RunResult {
  int status = 0;
  std::string output;
};

class TerminalSession final : public AsyncTerminal {
 public:
  enum class Stream { kStdout, kStderr };

  // `wake` is an eventfd (see close()).
  TerminalSession(SharedUser user, ChildProcess process, UniqueFd wake);
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;
  // Closes the session, then lets go of the User (which releases the account
  // when this was its last holder). Never throws.
  ~TerminalSession() override;

  // Ends the session for good: wakes every waiting call, sends signal 9 to
  // `su` unless it was reaped already (by wait(), or by something else in
  // the process), reaps it, and closes the pipes. Closing again does
  // nothing. Panics with "Failed to kill the terminal session" when the
  // signal cannot be sent (the session is closed all the same).
  void close() EXCLUDES(state_mu_);

  // Writes every byte of `data`, waiting while the pipe is full. Fails with
  // "The process is None", "Failed to get the stdin of the process" or
  // "Failed to write to the stdin of the process: " + system error text.
  // On a timeout, the bytes already written stay written and the message
  // says how many.
  Expected<void, SessionError> write(std::span<const std::uint8_t> data, const WaitLimits& limits);

  // One read into `buffer` once the stream has data or has ended; returns
  // the count (0 at end of stream or for an empty buffer, without waiting).
  // Fails with "The process is None", "Failed to get the stdout (stderr) of
  // the process" or "Failed to read stdout (stderr)". Output that run() read
  // past its command's end is returned first.
  Expected<std::size_t, SessionError> read(Stream stream, std::span<std::uint8_t> buffer, const WaitLimits& limits);

  // Interrupts the job in the terminal's foreground, without waiting.
  // Without `signal`: the interrupt character (Ctrl-C) when the terminal
  // can take it at once (the terminal then signals the job and drops the
  // input it left unread, as for a user pressing Ctrl-C); otherwise, as
  // with a `signal`, input still on its way to the terminal is thrown away
  // and the signal (SIGINT by default) goes to the foreground process
  // group, never to the shell itself. The next run() first waits (up to a
  // second) for the interrupted job to leave the foreground, so that it
  // cannot read the run's line.
  Expected<void, SessionError> interrupt(std::optional<int> signal = std::nullopt);

  // Waits for `su` to exit and reaps it; returns its exit status, or -N
  // when signal N ended it.
  Expected<int, SessionError> wait(const WaitLimits& limits);

  // Runs one command line in the shell and returns its exit status and what
  // it printed to the terminal, without the echoed line, prompts or the
  // markers that frame it (run_framing.h); the command's standard input is
  // /dev/null. Output beyond `max_output` bytes is read and dropped. What
  // arrived before the frame (say, a background job's output) is kept for
  // the next read(), as is what follows the frame. `command` may not
  // contain a line feed or NUL, and may not be longer than the terminal
  // takes when the shell reads without line editing. On a timeout the
  // command keeps running (interrupt() stops it) and what was read stays
  // for the next read().
  Expected<RunResult, SessionError> run(std::string_view command, const WaitLimits& limits,
                                        std::size_t max_output = SIZE_MAX);

  // AsyncTerminal: the calls above without limits.
  Expected<void, std::string> write(std::span<const std::uint8_t> data) override;
  Expected<std::size_t, std::string> read_stdout(std::span<std::uint8_t> buffer) override;
  Expected<std::size_t, std::string> read_stderr(std::span<std::uint8_t> buffer) override;

  bool is_closed() const EXCLUDES(state_mu_);
  // The pid of `su` and the read ends of standard output and error; -1 once
  // closed. A descriptor is for waiting on (select, poll, an event loop):
  // read through the session, which knows what run() kept back.
  pid_t pid() const EXCLUDES(state_mu_);
  int stdout_fd() const EXCLUDES(state_mu_);
  int stderr_fd() const EXCLUDES(state_mu_);
  const SharedUser& user() const { return user_; }

  // What the session's whole tree used: live while it runs, the figures at
  // its end once closed. Without a control group holding memory figures,
  // what `su` and the processes it reaped used once it has been reaped
  // (source "rusage"; zeros before).
  CgroupUsage usage() const;
  // Takes the control group that holds the session's tree: close() kills
  // the tree through it and removes it.
  void attach_group(std::unique_ptr<SessionGroup> group) { group_ = std::move(group); }

 private:
  class Use;

  // A lock held for a whole call and taken like any wait: until a deadline,
  // giving way to the caller's check between slices. (A mutex and a flag
  // rather than a timed mutex, whose timed lock the thread sanitizer cannot
  // follow.)
  class CAPABILITY("gate") Gate {
   public:
    // False when the deadline passed first.
    bool enter_until(std::optional<WaitClock::time_point> deadline) TRY_ACQUIRE(true) EXCLUDES(mu_);
    void leave() RELEASE() EXCLUDES(mu_);

   private:
    BlockingMutex mu_;
    std::condition_variable free_;
    bool busy_ GUARDED_BY(mu_) = false;
  };
  // Holds a gate until destroyed. A pass leaves enter() inside its result,
  // where the analysis loses it: it exists only while its gate is held.
  class GatePass {
   public:
    explicit GatePass(Gate* gate) : gate_(gate) {}
    GatePass(GatePass&& o) noexcept : gate_(std::exchange(o.gate_, nullptr)) {}
    GatePass& operator=(GatePass&&) = delete;
    ~GatePass() NO_THREAD_SAFETY_ANALYSIS {
      if (gate_) gate_->leave();
    }

   private:
    Gate* gate_;
  };
  // Enters `gate` as a wait would (see WaitLimits); the pass holds it.
  Expected<GatePass, SessionError> enter(Gate& gate, const WaitLimits& limits, const char* timeout)
      NO_THREAD_SAFETY_ANALYSIS;
  Expected<std::size_t, SessionError> read_fd(Stream stream, std::span<std::uint8_t> buffer, const WaitLimits& limits,
                                              bool kept_first);
  Expected<void, SessionError> write_fd(std::span<const std::uint8_t> data, const WaitLimits& limits);
  std::size_t take_kept(std::span<std::uint8_t> buffer) EXCLUDES(kept_mu_);
  void keep(std::string_view bytes) EXCLUDES(kept_mu_);
  // The shell's terminal as /proc shows it now; nothing once su is gone.
  std::optional<ShellTerminal> terminal_now() const EXCLUDES(state_mu_);
  // Waits for an interrupted job to leave the terminal; `interrupted` tells
  // whether there was an interrupt since the last run().
  std::optional<SessionError> settle_after_interrupt(const WaitLimits& limits, bool& interrupted)
      EXCLUDES(state_mu_);
  bool line_editing_off(const WaitLimits& limits) const EXCLUDES(state_mu_);

  SharedUser user_;
  std::unique_ptr<SessionGroup> group_;
  // su's usage once close() reaped it, for hosts without control groups.
  mutable BlockingMutex rusage_mu_;
  std::optional<CgroupUsage> su_usage_ GUARDED_BY(rusage_mu_);

  // Open/closed state, the child and the count of calls using its
  // descriptors; close() waits on idle_ for that count to drop to zero.
  mutable BlockingMutex state_mu_;
  std::condition_variable idle_;
  bool closed_ GUARDED_BY(state_mu_) = false;
  int active_ GUARDED_BY(state_mu_) = 0;
  // Read without the lock by a Use (close() takes it only once none is left).
  std::optional<ChildProcess> process_ GUARDED_BY(state_mu_);
  UniqueFd wake_;  // an eventfd, readable from the moment close() begins
  // The foreground process group the last interrupt() was for, until the
  // next run() has seen it leave the foreground; -1: none.
  pid_t interrupted_fg_ GUARDED_BY(state_mu_) = -1;
  bool interrupted_ GUARDED_BY(state_mu_) = false;

  // One gate per stream, held for a whole call; run() also holds run_gate_.
  Gate in_gate_, out_gate_, err_gate_, run_gate_;
  // Standard output that run() read past its end (or before it gave up),
  // returned first by the next reads. kept_mu_ is never held while waiting.
  BlockingMutex kept_mu_;
  std::string kept_ GUARDED_BY(kept_mu_);
  std::size_t kept_pos_ GUARDED_BY(kept_mu_) = 0;
};

// The command text handed to `su -c`: the home path is inserted as it is,
// between double quotes.
//   export HOME="H"; cd "H"; exec /bin/bash
// With `exact_env` (an environment chosen by the caller), "unset OLDPWD; "
// comes before exec.
std::string session_command(std::string_view home, bool exact_env = false);

// The argument list that starts a session of `username` in `home`:
//   su -s /bin/bash -P -c <session_command(home, exact_env)> <username>
std::vector<std::string> session_argv(std::string_view username, std::string_view home, bool exact_env = false);

// Starts a shell as `user` (consumed: it moves into the session). Fails with
// "Failed to create the terminal session: " + reason when the child cannot
// be started; the User stays handed out. Panics with kPoisonedLock when the
// User's lock is poisoned. The User lock is held only to copy the name and
// home, never while the child starts. With `options`, `su` starts with
// their environment and limits (launcher.h); a chosen environment without
// PATH gets PATH=/usr/local/bin:/usr/bin:/bin. It always enters the
// account's confinement (account_namespaces.h) first.
Expected<std::unique_ptr<TerminalSession>, std::string> spawn_terminal(SharedUser user,
                                                                       const SpawnOptions* options = nullptr);

}  // namespace ferrowick
