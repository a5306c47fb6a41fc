// ChildProcess: a started child held through a pidfd, and the host's ends
// of its three pipes.
//
// Children are waited for one by one (never "any child"), and every system
// call that can be interrupted is retried.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <utility>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace ferrowick {

// Owns the child: one that is dropped before it was reaped is killed
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
  // What the child and the descendants it reaped used; meaningful once
  // reaped() and not lost().
  const struct rusage& rusage() const { return rusage_; }
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
  struct rusage rusage_ {};
  UniqueFd stdin_, stdout_, stderr_;
};

// Waits for `pid` (a child of this process that no one else holds) and
// returns its wait status, or the errno of a failed wait. Retries after
// interruptions.
Expected<int, int> wait_for_pid(pid_t pid);

}  // namespace ferrowick
