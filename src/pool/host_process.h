// Child processes of the host: running a host tool to completion with its
// output captured, and starting a long-lived child wired to three pipes.
//
// Every descriptor this file creates is close-on-exec from birth, so a child
// inherits only the three descriptors it is handed as 0, 1 and 2. Children
// are held through pidfds and waited for one by one (never "any child"), and
// every system call
// that can be interrupted is retried. No shell is involved: the program name
// is looked up through PATH and each argument is passed as one word.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/utf8.h"
#include "pool/spawn_options.h"

namespace ferrowick {

// The system's description of `err`, then " (os error ", err, ")".
// E.g. "Permission denied (os error 13)".
std::string system_error_text(int err);

// An owned file descriptor, closed on destruction. -1 means "absent".
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// What a finished host command left behind.
struct HostOutput {
  int wait_status = 0;  // as reported by waitpid
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error

  // The exit code, or nothing when the command was ended by a signal.
  std::optional<int> exit_code() const;
  bool success() const { return exit_code() == 0; }
};

// Runs argv[0] (looked up through PATH) with standard input on /dev/null and
// both output streams captured in full, and waits for it to exit. Both pipes
// are drained together, so a command filling one of them cannot stall.
// Fails with the errno that kept the command from starting (e.g. ENOENT).
// While it waits, the thread's ambient wait check (fd_wait.h) runs every
// kCheckInterval; once it asks to stop, it is not called again, and the
// command is still let finish: host tools are short, and one cut off half
// way (`useradd`) could leave the host's account files locked.
Expected<HostOutput, int> run_host_command(const std::vector<std::string>& argv);

// A started child, held through a pidfd, and the host's ends of its three
// pipes. Owns the child: one that is dropped before it was reaped is killed
// (signal 9) and reaped, so no zombie is ever left behind.
//
// Signals and waits go through the pidfd, so a pid that something else in
// the process reaped (a SIGCHLD handler, waitpid(-1)) and the kernel handed
// to a new process is never hit. Without pidfds (kernels before 5.3) the
// child is held by pid, and a signal is sent only while waitid() shows the
// pid still belongs to an unreaped child of this process.
class ChildProcess {
 public:
  ChildProcess(pid_t pid, UniqueFd pidfd, UniqueFd in, UniqueFd out, UniqueFd err)
      : pid_(pid), pidfd_(std::move(pidfd)), stdin_(std::move(in)), stdout_(std::move(out)), stderr_(std::move(err)) {}
  ChildProcess(ChildProcess&& o) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // -1 when the kernel has no pidfds.
  int pidfd() const { return pidfd_.get(); }
  bool reaped() const { return reaped_; }
  // As waitpid reports it; meaningful once reaped() and not lost().
  int wait_status() const { return wait_status_; }
  // True when something else reaped the child: its status is unknown.
  bool lost() const { return lost_; }
  // Write end of the child's stdin, read ends of its stdout and stderr;
  // -1 when absent.
  int stdin_fd() const { return stdin_.get(); }
  int stdout_fd() const { return stdout_.get(); }
  int stderr_fd() const { return stderr_.get(); }

  // Sends `sig` unless the child was reaped already. Returns 0, ESRCH when
  // the child is gone (reaped by someone else: nothing was sent), or another
  // errno.
  int kill(int sig);
  // Blocks until the child exits and reaps it (idempotent). Returns 0, or
  // ECHILD when something else reaped it (then lost() is true).
  int wait();
  // Reaps the child if it has exited, without blocking; true once reaped.
  bool try_reap();
  void close_pipes();

 private:
  int reap(int options);

  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  bool lost_ = false;
  int wait_status_ = 0;
  UniqueFd stdin_, stdout_, stderr_;
};

// Starts argv[0] (looked up through PATH) with its standard input, output and
// error on three new pipes. The child inherits environment and working
// directory, gets an empty signal mask and the default SIGPIPE action, and no
// other descriptor of this process. Fails with an errno (that of the exec
// when the program cannot be run). With `options`, the child gets their
// environment and limits (spawn_options.h).
Expected<ChildProcess, int> spawn_with_pipes(const std::vector<std::string>& argv,
                                             const SpawnOptions* options = nullptr);

// Waits for `pid` (a child of this process that no one else holds) and
// returns its wait status, or the errno of a failed wait. Retries after
// interruptions.
Expected<int, int> wait_for_pid(pid_t pid);

}  // namespace ferrowick
