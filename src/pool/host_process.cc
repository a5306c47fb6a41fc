#include "pool/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace ferrowick {

std::string system_error_text(int err) {
  std::string s = std::strerror(err);
  s += " (os error ";
  s += std::to_string(err);
  s += ')';
  return s;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  // close() is not retried: on Linux the descriptor is gone even after EINTR.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::optional<int> HostOutput::exit_code() const {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return std::nullopt;
}

Expected<int, int> wait_for_pid(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return status;
    if (r < 0 && errno == EINTR) continue;
    return Unexpected(r < 0 ? errno : ECHILD);
  }
}

namespace {

// A pipe whose both ends are close-on-exec and numbered 3 or above, so that
// placing the child's end on 0, 1 or 2 can never clobber another end.
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

// The shared part of both launchers: signal settings, the child's three
// standard descriptors, and the search through PATH.
class Launch {
 public:
  Launch() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~Launch() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  // Each of the three is either a descriptor to place on 0/1/2, or -1 for
  // /dev/null (standard input only).
  int start(const std::vector<std::string>& argv, int in, int out, int err, pid_t* pid) {
    if (argv.empty()) return EINVAL;
    sigset_t empty, pipe_only;
    sigemptyset(&empty);
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    int rc = posix_spawnattr_setsigmask(&attr_, &empty);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr_, &pipe_only);
    if (rc == 0) rc = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) {
      rc = in >= 0 ? posix_spawn_file_actions_adddup2(&actions_, in, 0)
                   : posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    }
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions_, out, 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions_, err, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors opened elsewhere in the process without close-on-exec must
    // not reach the child either.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    if (rc != 0) return rc;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return posix_spawnp(pid, args[0], &actions_, &attr_, args.data(), environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// Reads whatever `fd` holds into `sink`; returns false at end of stream or
// on a read error (both end the capture of that stream).
bool drain_once(int fd, std::string& sink) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) { sink.append(buf, static_cast<std::size_t>(n)); return true; }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

Expected<HostOutput, int> run_host_command(const std::vector<std::string>& argv) {
  UniqueFd out_r, out_w, err_r, err_w;
  if (int e = make_pipe(out_r, out_w)) return Unexpected(e);
  if (int e = make_pipe(err_r, err_w)) return Unexpected(e);
  pid_t pid = -1;
  {
    Launch launch;
    if (int e = launch.start(argv, -1, out_w.get(), err_w.get(), &pid)) return Unexpected(e);
  }
  out_w.reset();
  err_w.reset();

  HostOutput result;
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0) {
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // cannot happen with valid descriptors; stop capturing
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!drain_once(fds[i].fd, *sinks[i])) {
        fds[i].fd = -1;  // poll ignores negative descriptors
        --open_streams;
      }
    }
  }
  out_r.reset();
  err_r.reset();
  auto status = wait_for_pid(pid);
  // Only a foreign waitpid(-1) could take our child; report it as a signal.
  result.wait_status = status ? *status : SIGKILL;
  return result;
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      reaped_(o.reaped_),
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
  return ::kill(pid_, sig) == 0 ? 0 : errno;
}

int ChildProcess::wait() {
  if (reaped_ || pid_ <= 0) return 0;
  auto status = wait_for_pid(pid_);
  if (!status) return status.error();
  reaped_ = true;
  wait_status_ = *status;
  return 0;
}

void ChildProcess::close_pipes() {
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
}

Expected<ChildProcess, int> spawn_with_pipes(const std::vector<std::string>& argv, const SpawnOptions* options) {
  UniqueFd in_r, in_w, out_r, out_w, err_r, err_w;
  if (int e = make_pipe(in_r, in_w)) return Unexpected(e);
  if (int e = make_pipe(out_r, out_w)) return Unexpected(e);
  if (int e = make_pipe(err_r, err_w)) return Unexpected(e);
  pid_t pid = -1;
  {
    Launch launch;
    int e = options ? spawn_with_options(argv, in_r.get(), out_w.get(), err_w.get(), *options, &pid)
                    : launch.start(argv, in_r.get(), out_w.get(), err_w.get(), &pid);
    if (e) return Unexpected(e);
  }
  // The child's ends close here, so EOF and broken pipes are seen as soon as
  // the child (and its descendants) let go of them.
  return ChildProcess(pid, std::move(in_w), std::move(out_r), std::move(err_r));
}

}  // namespace ferrowick
