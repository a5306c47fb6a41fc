#include "pool/spawn_options.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "pool/host_process.h"

extern char** environ;

namespace ferrowick {

int find_program(const std::string& name, std::string& path) {
  if (name.empty()) return ENOENT;
  if (name.find('/') != std::string::npos) {
    path = name;
    return 0;
  }
  const char* env_path = std::getenv("PATH");
  std::string_view rest = env_path ? env_path : "/usr/local/bin:/usr/bin:/bin";
  int err = ENOENT;
  for (;;) {
    std::string_view dir = rest.substr(0, rest.find(':'));
    std::string candidate = dir.empty() ? "." : std::string(dir);
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      path = std::move(candidate);
      return 0;
    }
    if (errno == EACCES) err = EACCES;
    if (dir.size() >= rest.size()) return err;
    rest.remove_prefix(dir.size() + 1);
  }
}

namespace {

// In the child: tells the parent why it gives up, and ends.
[[noreturn]] void child_fail(int report_fd, int err) {
  while (::write(report_fd, &err, sizeof err) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// In the child, between fork and exec: async-signal-safe calls only.
[[noreturn]] void child_exec(const char* path, char* const* argv, char* const* envp, int in, int out, int err,
                             const SpawnOptions& options, int report_fd) {
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) child_fail(report_fd, errno);
  // Descriptors opened elsewhere without close-on-exec must not reach the
  // program; the report pipe closes with the exec as well.
  ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
  // Handlers of this process mean nothing in the child; a signal arriving
  // before the exec must not run one.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (::sigaction(sig, nullptr, &current) != 0) continue;
    if (sig == SIGPIPE || (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL)) {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(sig, &dfl, nullptr);
    }
  }
  for (const auto& [resource, value] : options.limits) {
    const struct rlimit limit {value, value};
    if (::setrlimit(static_cast<__rlimit_resource_t>(resource), &limit) != 0) child_fail(report_fd, errno);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(path, argv, envp);
  child_fail(report_fd, errno);
}

}  // namespace

int spawn_with_options(const std::vector<std::string>& argv, int in, int out, int err,
                       const SpawnOptions& options, pid_t* pid) {
  if (argv.empty()) return EINVAL;
  std::string path;
  if (int e = find_program(argv[0], path)) return e;
  // Everything the child needs is built here: it may not allocate.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  if (options.env) {
    env.reserve(options.env->size() + 1);
    for (const std::string& e : *options.env) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
  }
  char* const* envp = options.env ? env.data() : environ;

  UniqueFd report_r, report_w;
  {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    report_r.reset(fds[0]);
    report_w.reset(fds[1]);
  }
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t child = ::fork();
  if (child == 0) child_exec(path.c_str(), args.data(), envp, in, out, err, options, report_w.get());
  const int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (child < 0) return fork_errno;
  report_w.reset();

  int child_errno = 0;
  ssize_t n;
  do {
    n = ::read(report_r.get(), &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof child_errno)) {
    (void)wait_for_pid(child);  // it has given up and exits at once
    return child_errno != 0 ? child_errno : ECHILD;
  }
  *pid = child;
  return 0;
}

}  // namespace ferrowick
