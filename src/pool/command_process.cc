#include "pool/command_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/system_error.h"
#include "pool/command_tree.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace ferrowick {

namespace {

const char* const kClosed = "The process is closed";

SessionError failure(std::string message) { return {SessionError::Kind::kFailed, std::move(message)}; }

// After a slice without a result: the error that ends the call, if any.
std::optional<SessionError> between_slices(const WaitLimits& limits, const std::string& timeout_text) {
  auto stop = after_slice(limits);
  if (!stop) return std::nullopt;
  if (*stop == WaitResult::kTimedOut) return SessionError{SessionError::Kind::kTimedOut, timeout_text};
  return SessionError{SessionError::Kind::kInterrupted, {}};
}

void poke(int eventfd) {
  const std::uint64_t one = 1;
  while (::write(eventfd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// What /proc shows of a running leader: its CPU time and that of the
// children it reaped, and its resident high-water mark.
CgroupUsage usage_so_far(pid_t pid) {
  CgroupUsage u;
  const std::string dir = "/proc/" + std::to_string(pid);
  char buf[4096];
  if (std::FILE* f = std::fopen((dir + "/stat").c_str(), "re")) {
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    if (const char* p = std::strrchr(buf, ')')) {
      unsigned long long t[4] = {0, 0, 0, 0};
      // After ") ": state and ten fields, then utime stime cutime cstime.
      if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu", &t[0], &t[1], &t[2],
                      &t[3]) == 4) {
        u.cpu_time = static_cast<double>(t[0] + t[1] + t[2] + t[3]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
      }
    }
  }
  if (std::FILE* f = std::fopen((dir + "/status").c_str(), "re")) {
    unsigned long long kb = 0;
    while (std::fgets(buf, sizeof buf, f)) {
      if (std::sscanf(buf, "VmHWM: %llu kB", &kb) == 1) u.peak_memory = kb * 1024;
    }
    std::fclose(f);
  }
  return u;
}

}  // namespace

// A call that uses the descriptors: close() waits until none is left
// before it closes them, and standard input is closed only once no write
// uses it. Fails (ok() is false) once close() has begun.
class CommandProcess::Use {
 public:
  explicit Use(CommandProcess& p, bool writer = false) : p_(p), writer_(writer) {
    BlockingLock lk(p.mu_);
    ok_ = !p.closed_;
    if (!ok_) return;
    ++p.active_;
    if (writer_) ++p.writers_;
  }
  ~Use() {
    if (!ok_) return;
    BlockingLock lk(p_.mu_);
    if (writer_ && --p_.writers_ == 0 && p_.stdin_closing_) p_.stdin_.reset();
    if (--p_.active_ == 0 && p_.closed_) p_.idle_.notify_all();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  bool ok() const { return ok_; }

 private:
  CommandProcess& p_;
  bool writer_;
  bool ok_;
};

CommandProcess::CommandProcess(SharedUser user, std::uint32_t uid, LaunchedCommand command,
                               std::unique_ptr<SessionGroup> group, UniqueFd wake, UniqueFd stdin_wake)
    : user_(std::move(user)),
      uid_(uid),
      group_(std::move(group)),
      pid_(command.child.pid()),
      out_fd_(command.child.stdout_fd()),
      err_fd_(command.child.stderr_fd()),
      pidfd_(command.child.pidfd()),
      child_(std::move(command.child)),
      stdin_(std::move(command.stdin_fd)),
      wake_(std::move(wake)),
      stdin_wake_(std::move(stdin_wake)) {}

CommandProcess::~CommandProcess() { close(); }

int CommandProcess::stdout_fd() const {
  BlockingLock lk(mu_);
  return closed_ ? -1 : out_fd_;
}

int CommandProcess::stderr_fd() const {
  BlockingLock lk(mu_);
  return closed_ ? -1 : err_fd_;
}

bool CommandProcess::observe_exit_locked(bool block) {
  if (exited_ || !child_) return exited_;
  siginfo_t info{};
  rusage ru{};
  const int pidfd = pidfd_;
  const int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
  for (;;) {
    // The system call itself: the C library's waitid has no rusage.
    long rc = pidfd >= 0 ? ::syscall(SYS_waitid, P_PIDFD, pidfd, &info, options, &ru)
                         : ::syscall(SYS_waitid, P_PID, pid_, &info, options, &ru);
    if (rc == 0) break;
    if (errno == EINTR) continue;
    return false;  // ECHILD: something else reaped it; close() reports it as killed
  }
  if (info.si_pid == 0) return false;  // still running
  exited_ = true;
  wait_status_ = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
  usage_ = usage_of_rusage(ru);
  return true;
}

std::optional<int> CommandProcess::returncode() {
  BlockingLock lk(mu_);
  if (observe_exit_locked(false)) return wait_status_;
  return std::nullopt;
}

CgroupUsage CommandProcess::usage() {
  CgroupUsage u = group_->usage();
  if (std::string_view(u.source) != "rusage") return u;
  BlockingLock lk(mu_);
  if (observe_exit_locked(false) || closed_) return usage_;
  return usage_so_far(pid_);
}

void CommandProcess::kill_tree() {
  // The groups hold every process of the tree, also one that left the
  // command's sessions and was orphaned after the leader had exited, which
  // no scan of /proc can tie to the command.
  if (group_->empty() || group_->kill_tree() != 0) kill_command_tree(uid_, pid_);
  // The leader itself, should neither have taken it.
  BlockingLock lk(mu_);
  if (child_) child_->kill(SIGKILL);
}

void CommandProcess::kill() {
  Use use(*this);
  if (!use.ok()) return;  // closed: nothing of it is left
  {
    BlockingLock lk(mu_);
    killed_ = true;
    poke(wake_.get());
    poke(stdin_wake_.get());
  }
  kill_tree();
}

void CommandProcess::close() {
  // run_to_end() saw the leader exit: only reaping is left, and the groups
  // (when there are any) take the rest.
  bool spare_tree;
  {
    BlockingLock lk(mu_);
    if (closed_) return;
    closed_ = true;
    killed_ = true;
    spare_tree = ran_to_end_;
    poke(wake_.get());
    poke(stdin_wake_.get());
  }
  // The leader is still unreaped (only this call reaps it): its pid names
  // the tree.
  if (!spare_tree) kill_tree();
  std::optional<ChildProcess> child;
  {
    BlockingLock lk(mu_);
    while (active_ != 0) lk.wait(idle_);
    if (!observe_exit_locked(true)) {
      exited_ = true;
      wait_status_ = -SIGKILL;
    }
    child.emplace(std::move(*child_));
    child_.reset();
    stdin_.reset();
  }
  child->wait();
  child->close_pipes();
  group_->finish();
}

Expected<std::size_t, SessionError> CommandProcess::read(Stream stream, std::span<std::uint8_t> buffer,
                                                         const WaitLimits& limits) {
  const bool out = stream == Stream::kStdout;
  const char* timeout_text = out ? "Timed out waiting for stdout" : "Timed out waiting for stderr";
  for (;;) {
    {
      Use use(*this);
      if (!use.ok()) return Unexpected(failure(kClosed));
      if (buffer.empty()) return std::size_t{0};
      const int fd = out ? out_fd_ : err_fd_;
      ssize_t n = ::read(fd, buffer.data(), std::min<std::size_t>(buffer.size(), SSIZE_MAX));
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return Unexpected(failure(out ? "Failed to read stdout" : "Failed to read stderr"));
      {
        BlockingLock lk(mu_);
        if (killed_) return std::size_t{0};  // the tree is gone: what the pipe held has been read
      }
      WaitResult r = wait_fd(fd, POLLIN, wake_.get(), one_slice(limits));
      if (r == WaitResult::kReady || r == WaitResult::kCancelled) continue;
    }
    if (auto stop = between_slices(limits, timeout_text)) return Unexpected(std::move(*stop));
  }
}

Expected<void, SessionError> CommandProcess::write(std::span<const std::uint8_t> data, const WaitLimits& limits) {
  const std::size_t total = data.size();
  for (;;) {
    {
      Use use(*this, /*writer=*/true);
      if (!use.ok()) return Unexpected(failure(kClosed));
      int fd;
      {
        BlockingLock lk(mu_);
        if (killed_) return Unexpected(failure("The process was killed"));
        if (stdin_closing_ || !stdin_.valid()) return Unexpected(failure("The standard input is closed"));
        fd = stdin_.get();
      }
      auto r = write_slice(fd, data, stdin_wake_.get(), limits);
      if (!r) return Unexpected(failure("Failed to write to the stdin of the process: " + system_error_text(r.error())));
      if (*r == WaitResult::kReady) return {};
      if (*r == WaitResult::kCancelled) continue;  // closed or killed: said on the next round
    }
    const std::string text = "Timed out after writing " + std::to_string(total - data.size()) + " of " +
                             std::to_string(total) + " bytes to the stdin of the process";
    if (auto stop = between_slices(limits, text.c_str())) return Unexpected(std::move(*stop));
  }
}

Expected<void, SessionError> CommandProcess::close_stdin() {
  BlockingLock lk(mu_);
  if (closed_) return Unexpected(failure(kClosed));
  if (stdin_closing_) return {};
  stdin_closing_ = true;
  if (writers_ == 0) stdin_.reset();
  else poke(stdin_wake_.get());
  return {};
}

Expected<int, SessionError> CommandProcess::wait(const WaitLimits& limits) {
  group_->tend_stock();
  for (;;) {
    {
      Use use(*this);
      const int pidfd = pidfd_;
      {
        BlockingLock lk(mu_);
        if (!use.ok()) {
          if (exited_) return wait_status_;
          return Unexpected(failure(kClosed));
        }
        if (observe_exit_locked(false)) return wait_status_;
      }
      // Without a pidfd there is nothing to poll for the exit: look again
      // every few milliseconds.
      const WaitLimits slice = one_slice(limits);
      if (pidfd >= 0) {
        if (wait_fd(pidfd, POLLIN, -1, slice) == WaitResult::kReady) continue;
      } else {
        ::poll(nullptr, 0, 5);
      }
    }
    if (auto stop = between_slices(limits, "Timed out waiting for the process to exit")) {
      return Unexpected(std::move(*stop));
    }
  }
}

Expected<std::unique_ptr<CommandProcess>, CommandStartError> start_command(SharedUser user, const CommandSpec& spec,
                                                                           bool with_stdin) {
  std::uint32_t uid;
  std::string home;
  // Held through the launch: a release meanwhile cannot close what the
  // child is about to enter.
  std::shared_ptr<const AccountNamespaces> confinement;
  {
    auto guard = user->lock();
    if (guard->released()) return Unexpected(CommandStartError{"The account was released", {}, {}});
    uid = guard->uid();
    home = guard->home();
    confinement = guard->namespaces();
  }
  auto who = account_identity(uid, home);
  if (!who) return Unexpected(CommandStartError{{}, {}, {LaunchStep::kIdentity, who.error()}});
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC)), stdin_wake(::eventfd(0, EFD_CLOEXEC));
  if (!wake.valid() || !stdin_wake.valid()) return Unexpected(CommandStartError{{}, {}, {LaunchStep::kSetup, errno}});
  // The groups exist before the child, which joins them before anything
  // else; a failed start removes them again.
  auto group = SessionGroup::create(session_cgroup_host(), spec.group, session_group_stock());
  if (!group) return Unexpected(CommandStartError{{}, std::move(group.error()), {}});
  auto launched = launch_command(*who, spec, with_stdin, (*group)->join_fds(),
                                 confinement ? &confinement->child() : nullptr, (*group)->v2_dir(),
                                 (*group)->v2_procs());
  if (!launched) return Unexpected(CommandStartError{{}, {}, launched.error()});
  return std::make_unique<CommandProcess>(std::move(user), uid, std::move(*launched), std::move(*group),
                                          std::move(wake), std::move(stdin_wake));
}

}  // namespace ferrowick
