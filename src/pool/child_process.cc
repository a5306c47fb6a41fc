#include "pool/child_process.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace ferrowick {

namespace {

int pidfd_send_signal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace

Expected<int, int> wait_for_pid(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return status;
    if (r < 0 && errno == EINTR) continue;
    return Unexpected(r < 0 ? errno : ECHILD);
  }
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      pidfd_(std::move(o.pidfd_)),
      reaped_(o.reaped_),
      lost_(o.lost_),
      wait_status_(o.wait_status_),
      stdin_(std::move(o.stdin_)),
      stdout_(std::move(o.stdout_)),
      stderr_(std::move(o.stderr_)) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(SIGKILL);
    wait();
  }
}

int ChildProcess::kill(int sig) {
  if (reaped_ || pid_ <= 0) return 0;
  if (pidfd_.valid()) return pidfd_send_signal(pidfd_.get(), sig) == 0 ? 0 : errno;
  // Held by pid only: signal it only while it is an unreaped child of ours
  // that has not exited (an exited one, a zombie, needs no signal).
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return errno == ECHILD ? ESRCH : errno;
  if (info.si_pid == pid_) return 0;
  return ::kill(pid_, sig) == 0 ? 0 : errno;
}

int ChildProcess::reap(int options) {
  if (reaped_ || pid_ <= 0) return 0;
  siginfo_t info{};
  bool by_pidfd = pidfd_.valid();
  for (;;) {
    // The system call itself, whose fifth argument (which the C library's
    // waitid lacks) receives the child's resource usage.
    int rc = static_cast<int>(by_pidfd ? ::syscall(SYS_waitid, P_PIDFD, pidfd_.get(), &info, WEXITED | options, &rusage_)
                                       : ::syscall(SYS_waitid, P_PID, pid_, &info, WEXITED | options, &rusage_));
    if (rc == 0) break;
    if (errno == EINTR) continue;
    if (errno == EINVAL && by_pidfd) {  // pidfds without waitid support (Linux 5.3)
      by_pidfd = false;
      continue;
    }
    if (errno == ECHILD) reaped_ = lost_ = true;
    return errno;
  }
  if (info.si_pid == 0) return EAGAIN;  // WNOHANG, still running
  reaped_ = true;
  switch (info.si_code) {
    case CLD_EXITED: wait_status_ = (info.si_status & 0xff) << 8; break;
    case CLD_DUMPED: wait_status_ = info.si_status | 0x80; break;
    default: wait_status_ = info.si_status; break;
  }
  return 0;
}

int ChildProcess::wait() { return reap(0); }

bool ChildProcess::try_reap() { return reap(WNOHANG) == 0 && reaped_; }

void ChildProcess::close_pipes() {
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
}

}  // namespace ferrowick
