#include "pool/launcher.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace ferrowick {

std::vector<std::string> program_candidates(const std::string& program) {
  const char* path = std::getenv("PATH");
  return program_candidates(program, path ? path : "/bin:/usr/bin");
}

std::vector<std::string> program_candidates(const std::string& program, std::string_view rest) {
  if (program.find('/') != std::string::npos) return {program};
  std::vector<std::string> out;
  for (;;) {
    std::size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    out.push_back((dir.empty() ? std::string(".") : std::string(dir)) + "/" + program);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return out;
}

int find_program(const std::string& name, std::string& path) {
  if (name.empty()) return ENOENT;
  int err = ENOENT;
  for (std::string& candidate : program_candidates(name)) {
    if (::access(candidate.c_str(), X_OK) == 0) {
      path = std::move(candidate);
      return 0;
    }
    if (errno == EACCES) err = EACCES;
  }
  return err;
}

int make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  for (UniqueFd* end : {&read_end, &write_end}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    end->reset(moved);
  }
  return 0;
}

namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Everything the child needs, prepared before the fork: in between fork and
// exec the child may make async-signal-safe calls only (no allocation).
struct ChildPlan {
  std::vector<std::string> paths;
  std::vector<char*> argv;  // null-terminated
  std::vector<char*> env;   // null-terminated; used when given
  char** envp;
  const SpawnOptions* options;  // or null
  int in, out, err;  // the child's 0, 1, 2; in == -1: /dev/null
  int go_fd;         // fork only: read end, a byte (or EOF) once the parent holds the pidfd; else -1
  int status_fd;     // write end: the LaunchError of a failed start
  bool born_in_v2;   // started by clone3 inside options->cgroup_v2_dir
};

void close_range_from(unsigned first, unsigned last) {
  if (first > last) return;
  if (::syscall(SYS_close_range, first, last, 0) == 0) return;
  // Kernels before 5.9: one by one, up to the descriptor limit.
  long max = ::sysconf(_SC_OPEN_MAX);
  unsigned top = max > 0 && static_cast<unsigned long>(max) <= last ? static_cast<unsigned>(max - 1) : last;
  for (unsigned fd = first; fd <= top; ++fd) ::close(static_cast<int>(fd));
}

// The child's whole setup, in one place: control groups, session, standard
// descriptors, resource limits, the account's confinement, ids, working
// directory, no other descriptor, default signal actions (even for what the
// host ignores: a tenant's Ctrl-C must work when the host runs as a
// background job, which ignores SIGINT and SIGQUIT) and
// an empty mask, then the program (with the chosen environment). The first
// failed step is reported and nothing after it runs. Runs with every signal
// blocked (see launch_child).
[[noreturn]] void run_child(const ChildPlan& plan) {
  LaunchError failed{LaunchStep::kExec, 0};
  auto fail = [&failed](LaunchStep step) {
    if (failed.err == 0) failed = {step, errno};
  };
  const SpawnOptions* o = plan.options;
  // Into the groups first: whatever fails below, nothing of the child runs
  // outside them.
  if (o)
    for (int fd : o->cgroup_procs)
      if (failed.err == 0 && !(plan.born_in_v2 && fd == o->cgroup_v2_procs) && ::write(fd, "0", 1) != 1)
        fail(LaunchStep::kGroup);
  if (o && o->new_session) {
    // Cannot fail in a fresh child, which leads no process group.
    ::setsid();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  }
  int in = plan.in >= 0 ? plan.in : ::open("/dev/null", O_RDONLY);
  if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(plan.out, 1) < 0 || ::dup2(plan.err, 2) < 0) fail(LaunchStep::kStdio);
  if (o) {
    for (const auto& [resource, value] : o->limits) {
      const rlimit limit{value, value};
      if (failed.err == 0 && ::setrlimit(resource, &limit) != 0) fail(LaunchStep::kLimits);
    }
    // As root, before any switch of ids: namespaces and mounts.
    if (failed.err == 0 && o->confinement) {
      if (int e = enter_confinement(*o->confinement)) {
        errno = e;
        fail(LaunchStep::kConfine);
      }
    }
    if (failed.err == 0 && o->account) {
      const AccountSwitch& a = *o->account;
      // The system calls themselves: the C library's wrappers would make
      // every thread of the process switch too, and when the child shares
      // this process's memory (see start_sharing) those threads are the
      // host's.
      if (::syscall(SYS_setgroups, a.groups.size(), a.groups.data()) != 0 ||
          ::syscall(SYS_setresgid, a.gid, a.gid, a.gid) != 0 || ::syscall(SYS_setresuid, a.uid, a.uid, a.uid) != 0) {
        fail(LaunchStep::kIdentity);
      }
    }
    if (failed.err == 0 && o->cwd && ::chdir(o->cwd->c_str()) != 0) fail(LaunchStep::kCwd);
  }
  // Keep the two descriptors of the start (go_fd may be -1: then status_fd
  // is both bounds).
  const int keep_lo = plan.go_fd >= 0 ? std::min(plan.go_fd, plan.status_fd) : plan.status_fd;
  const unsigned lo = static_cast<unsigned>(keep_lo);
  const unsigned hi = static_cast<unsigned>(std::max(plan.go_fd, plan.status_fd));
  close_range_from(3, lo - 1);
  close_range_from(lo + 1, hi - 1);
  close_range_from(hi + 1, ~0U);

  // Through the kernel directly: the C library refuses to touch the two
  // real-time signals it reserves for itself, which an ignoring parent can
  // still hand down. All zeroes is SIG_DFL with an empty mask and no flags
  // whatever the architecture's layout of the kernel's structure.
  const unsigned long dfl[4] = {};
  for (int sig = 1; sig < NSIG; ++sig) (void)::syscall(SYS_rt_sigaction, sig, dfl, nullptr, 8);  // 8: the kernel's sigset, 64 signals
  char go;
  while (plan.go_fd >= 0 && ::read(plan.go_fd, &go, 1) < 0 && errno == EINTR) {
  }
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);

  if (failed.err == 0) {
    // As execvp: EACCES from any candidate wins over "not found".
    failed.err = ENOENT;
    for (const std::string& path : plan.paths) {
      ::execve(path.c_str(), plan.argv.data(), plan.envp);
      if (errno == EACCES) failed.err = EACCES;
      else if (errno != ENOENT && errno != ENOTDIR) { failed.err = errno; break; }
    }
  }
  const int report[2] = {static_cast<int>(failed.step), failed.err};
  while (::write(plan.status_fd, report, sizeof report) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

[[maybe_unused]] int child_entry(void* plan) { run_child(*static_cast<const ChildPlan*>(plan)); }

// clone3's argument, as the kernel reads it (its third published size).
struct CloneArgs {
  std::uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid, set_tid_size,
      cgroup;
};
static_assert(sizeof(CloneArgs) == 88);

#if defined(__x86_64__)
#define FERROWICK_CLONE3 1
// clone3 whose child runs fn(arg) on the stack `args` names and exits with
// its result, never returning here; the parent gets the pid or -errno. (The
// C library offers no clone3 with a function to run, and a child that
// shares this process's memory cannot return through this frame.)
[[maybe_unused]] __attribute__((noinline)) long clone3_run(CloneArgs* args, int (*fn)(void*), void* arg) {
  long ret;
  register int (*r12)(void*) asm("r12") = fn;
  register void* r13 asm("r13") = arg;
  asm volatile(
      "syscall\n\t"
      "test %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      // The child, on its own stack, whose top is 16-byte aligned.
      "xor %%ebp, %%ebp\n\t"
      "mov %%r13, %%rdi\n\t"
      "call *%%r12\n\t"
      "mov %%eax, %%edi\n\t"
      "mov %[exit_nr], %%eax\n\t"
      "syscall\n\t"
      "ud2\n"
      "1:"
      : "=a"(ret)
      : "0"(static_cast<long>(SYS_clone3)), "D"(args), "S"(sizeof(CloneArgs)), "r"(r12), "r"(r13),
        [exit_nr] "i"(SYS_exit)
      : "rcx", "r11", "memory");
  return ret;
}
#endif

// Starts the child as posix_spawn does: sharing this process's memory (no
// page tables copied, however large the host's heap) on a stack of its own,
// this thread suspended until the child has exec'd or exited, and the pidfd
// made by the kernel in the same call, so no foreign waitpid(-1) can reap
// the child before it is held. -1 with errno EINVAL where the kernel has no
// CLONE_PIDFD (before 5.2).
//
// Sanitizer builds fork instead: their instrumented child would write the
// host's shadow memory. (So the deep checks run the fork path.)
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FERROWICK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define FERROWICK_SANITIZED 1
#endif
#endif
pid_t start_sharing(ChildPlan& plan, UniqueFd& pidfd) {
#ifdef FERROWICK_SANITIZED
  (void)plan;
  (void)pidfd;
  errno = EINVAL;
  return -1;
#else
  constexpr std::size_t kStack = std::size_t{1} << 16;
  void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  int fd = -1;
  pid_t pid = -1;
#ifdef FERROWICK_CLONE3
  if (plan.options && plan.options->cgroup_v2_dir >= 0) {
    CloneArgs args{};
    args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | 0x200000000ULL;  // CLONE_INTO_CGROUP
    args.pidfd = reinterpret_cast<std::uintptr_t>(&fd);
    args.exit_signal = SIGCHLD;
    args.stack = reinterpret_cast<std::uintptr_t>(stack);
    args.stack_size = kStack;
    args.cgroup = static_cast<std::uint64_t>(plan.options->cgroup_v2_dir);
    plan.born_in_v2 = true;
    const long r = clone3_run(&args, child_entry, &plan);
    if (r > 0) pid = static_cast<pid_t>(r);
    else plan.born_in_v2 = false;  // refused: the clone below, joining by the write
  }
#endif
  if (pid < 0)
    pid = ::clone(child_entry, static_cast<char*>(stack) + kStack, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD,
                  &plan, &fd);
  const int saved = errno;
  ::munmap(stack, kStack);
  if (pid > 0) pidfd.reset(fd);
  errno = saved;
  return pid;
#endif
}

}  // namespace

// The child reports a failed exec through a close-on-exec pipe once it was
// let go.
Expected<LaunchedChild, LaunchError> launch_child(const std::vector<std::string>& argv, int in, int out, int err,
                                                  const SpawnOptions* options) {
  auto setup_error = [](int e) { return Unexpected(LaunchError{LaunchStep::kSetup, e}); };
  if (argv.empty()) return Unexpected(LaunchError{LaunchStep::kExec, EINVAL});
  ChildPlan plan{options && options->path ? program_candidates(argv[0], *options->path) : program_candidates(argv[0]),
                 {}, {}, environ, options, in, out, err, -1, -1, false};
  plan.argv.reserve(argv.size() + 1);
  for (const std::string& a : argv) plan.argv.push_back(const_cast<char*>(a.c_str()));
  plan.argv.push_back(nullptr);
  if (options && options->env) {
    for (const std::string& e : *options->env) plan.env.push_back(const_cast<char*>(e.c_str()));
    plan.env.push_back(nullptr);
    plan.envp = plan.env.data();
  }
  UniqueFd go_r, go_w, status_r, status_w, pidfd;
  if (int e = make_pipe(status_r, status_w)) return setup_error(e);
  plan.status_fd = status_w.get();

  // No handler of this process may run in the child before exec.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = start_sharing(plan, pidfd);
  int start_errno = errno;
  int pidfd_errno = 0;
  if (pid < 0 && start_errno == EINVAL) {
    // An older kernel: fork, and hold the child back until its pidfd is made.
    if (int e = make_pipe(go_r, go_w)) {
      ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
      return setup_error(e);
    }
    plan.go_fd = go_r.get();
    pid = ::fork();
    if (pid == 0) run_child(plan);
    start_errno = errno;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return setup_error(start_errno);
  status_w.reset();
  if (go_w.valid()) {
    go_r.reset();
    pidfd.reset(pidfd_open(pid));
    pidfd_errno = pidfd.valid() ? 0 : errno;
    // Until go_w is written or closed the child is blocked, unreaped: its
    // pid is still ours to signal.
    if (pidfd_errno != 0 && pidfd_errno != ENOSYS) ::kill(pid, SIGKILL);
    const char go = 1;
    while (::write(go_w.get(), &go, 1) < 0 && errno == EINTR) {
    }
    go_w.reset();
  }
  int report[2] = {0, 0};
  std::size_t got = 0;
  while (got < sizeof report) {
    ssize_t n = ::read(status_r.get(), reinterpret_cast<char*>(report) + got, sizeof report - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  LaunchError failed{static_cast<LaunchStep>(report[0]), report[1]};
  if (got < sizeof report) failed.err = 0;  // end of stream: the exec succeeded
  if (pidfd_errno != 0 && pidfd_errno != ENOSYS) failed = {LaunchStep::kSetup, pidfd_errno};
  if (failed.err != 0) {
    ChildProcess child(pid, std::move(pidfd), {}, {}, {});
    child.wait();
    return Unexpected(failed);
  }
  return LaunchedChild{pid, std::move(pidfd)};
}

Expected<ChildProcess, int> spawn_with_pipes(const std::vector<std::string>& argv, const SpawnOptions* options) {
  UniqueFd in_r, in_w, out_r, out_w, err_r, err_w;
  if (int e = make_pipe(in_r, in_w)) return Unexpected(e);
  if (int e = make_pipe(out_r, out_w)) return Unexpected(e);
  if (int e = make_pipe(err_r, err_w)) return Unexpected(e);
  auto started = launch_child(argv, in_r.get(), out_w.get(), err_w.get(), options);
  if (!started) return Unexpected(started.error().err);
  // The child's ends close here, so EOF and broken pipes are seen as soon as
  // the child (and its descendants) let go of them.
  return ChildProcess(started->pid, std::move(started->pidfd), std::move(in_w), std::move(out_r), std::move(err_r));
}

}  // namespace ferrowick
