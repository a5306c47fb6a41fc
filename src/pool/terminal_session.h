// TerminalSession: a /bin/bash shell running as a pool account.
//
// The shell is started through `su`, in the account's home, with its
// standard input, output and error on pipes. Writes hand bytes to the
// shell's input; each read is exactly one read(2) of whatever the shell has
// printed so far. A session holds a reference to its User, so the account
// is not released while the session exists.
//
// A session has no lock of its own: its owner serialises all calls. Calls
// may block (a read until the shell prints, a write while the pipe is full)
// and take no other lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/expected.h"
#include "pool/host_process.h"
#include "pool/user_pool.h"
#include "terminal/terminal.h"

namespace ferrowick {

class TerminalSession final : public AsyncTerminal {
 public:
  TerminalSession(SharedUser user, ChildProcess process);
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;
  // Closes the session, then lets go of the User (which releases the account
  // when this was its last holder). Never throws.
  ~TerminalSession() override;

  // Ends the session for good: sends signal 9 to `su` unless it was reaped
  // already, reaps it, and closes the pipes. Closing again does nothing.
  // Panics with "Failed to kill the terminal session" when the signal cannot
  // be sent (the session is closed all the same).
  void close();

  // Writes every byte of `data`, blocking while the pipe is full and
  // retrying partial and interrupted writes. Fails with "The process is
  // None", "Failed to get the stdin of the process" or "Failed to write to
  // the stdin of the process: " + system error text (or "failed to write
  // whole buffer"). Writing to a shell that has exited raises SIGPIPE
  // unless the process ignores it; the failure is then EPIPE.
  Expected<void, std::string> write(std::span<const std::uint8_t> data) override;

  // Exactly one read(2) into `buffer`; returns the count (0 at end of
  // stream or for an empty buffer, without waiting). Fails with "The
  // process is None", "Failed to get the stdout (stderr) of the process" or
  // "Failed to read stdout (stderr)", also when the read was interrupted.
  Expected<std::size_t, std::string> read_stdout(std::span<std::uint8_t> buffer) override;
  Expected<std::size_t, std::string> read_stderr(std::span<std::uint8_t> buffer) override;

  bool is_closed() const { return !process_.has_value(); }
  // The pid of the `su` process; -1 once closed.
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  const SharedUser& user() const { return user_; }

 private:
  SharedUser user_;
  std::optional<ChildProcess> process_;
};

// The command text handed to `su -c`: the home path is inserted as it is,
// between double quotes.
//   export HOME="H"; cd "H"; exec /bin/bash
std::string session_command(std::string_view home);

// The argument list that starts a session of `username` in `home`:
//   su -s /bin/bash -P -c <session_command(home)> <username>
std::vector<std::string> session_argv(std::string_view username, std::string_view home);

// Starts a shell as `user` (consumed: it moves into the session). Fails with
// "Failed to create the terminal session: " + reason when the child cannot
// be started; the User stays handed out. Panics with kPoisonedLock when the
// User's lock is poisoned. The User lock is held only to copy the name and
// home, never while the child starts. With `options`, `su` starts with
// their environment and limits (spawn_options.h).
Expected<std::unique_ptr<TerminalSession>, std::string> spawn_terminal(SharedUser user,
                                                                       const SpawnOptions* options = nullptr);

}  // namespace ferrowick
