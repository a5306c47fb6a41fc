#include "pool/shell_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "pool/run_framing.h"

namespace ferrowick {

namespace {

// Reads a small /proc file whole; empty when it cannot be read.
std::string read_proc(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd.valid()) return text;
  char buf[1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() > 16384) return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
}

// Parses the next space-separated signed number off the front of `s`.
template <class T>
std::optional<T> take(std::string_view& s, int base = 10) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  if (base == 16 && s.substr(0, 2) == "0x") s.remove_prefix(2);
  T v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc()) return std::nullopt;
  s.remove_prefix(static_cast<std::size_t>(end - s.data()));
  return v;
}

// The pseudo-terminal slaves' majors (Documentation/admin-guide/devices).
constexpr unsigned kPtsFirstMajor = 136, kPtsLastMajor = 143;

}  // namespace

std::optional<ShellTerminal> shell_terminal(pid_t su) {
  const std::string su_dir = "/proc/" + std::to_string(su);
  const std::string children = read_proc(su_dir + "/task/" + std::to_string(su) + "/children");
  std::string_view children_text = children;
  auto child = take<pid_t>(children_text);
  if (!child || *child <= 0) return std::nullopt;
  // pid (comm) state ppid pgrp session tty_nr tpgid: comm may hold spaces
  // and parentheses, so the fields start after the last ')'.
  const std::string stat = read_proc("/proc/" + std::to_string(*child) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return std::nullopt;
  std::string_view rest = std::string_view(stat).substr(close + 2);
  rest.remove_prefix(std::min(rest.size(), rest.find(' ')));  // state
  auto ppid = take<pid_t>(rest);
  auto pgrp = take<pid_t>(rest);
  auto session = take<pid_t>(rest);
  auto tty_nr = take<long long>(rest);
  auto tpgid = take<pid_t>(rest);
  if (!ppid || *ppid != su || !pgrp || !session || !tty_nr || !tpgid) return std::nullopt;
  ShellTerminal t;
  t.shell = *child;
  t.shell_pgrp = *pgrp;
  const auto nr = static_cast<unsigned long long>(*tty_nr);
  if (nr != 0) {
    t.tty = ::makedev(static_cast<unsigned>((nr >> 8) & 0xfff), static_cast<unsigned>((nr & 0xff) | ((nr >> 12) & 0xfff00)));
  }
  t.foreground = *tpgid;
  return t;
}

UniqueFd open_terminal(dev_t tty) {
  const unsigned major = ::major(tty);
  if (tty == 0 || major < kPtsFirstMajor || major > kPtsLastMajor) return UniqueFd();
  const unsigned index = (major - kPtsFirstMajor) * 256 + ::minor(tty);
  const std::string path = "/dev/pts/" + std::to_string(index);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != tty) return UniqueFd();
  return fd;
}

bool relay_holds_input(pid_t su) {
  // "<number> <arg1> <arg2> ..." while blocked in a system call.
  const std::string proc = "/proc/" + std::to_string(su);
  const std::string text = read_proc(proc + "/syscall");
  std::string_view rest = text;
  auto nr = take<long>(rest);
  if (!nr) return text.rfind("running", 0) == 0;  // busy relaying, or nothing to read
  auto arg1 = take<unsigned long long>(rest, 16);
  auto arg2 = take<unsigned long long>(rest, 16);
  if (!arg1 || !arg2) return false;
  // Blocked writing: into the terminal, or into our output pipes (1 and 2)
  // while it may still hold input that it relays once those are read.
  if (*nr == SYS_write) return true;
  bool polls = *nr == SYS_ppoll;
#ifdef SYS_poll
  polls = polls || *nr == SYS_poll;
#endif
  // Waiting to write: the descriptors it polls, in its memory, ask for
  // POLLOUT (a relay with nothing pending asks only for input).
  constexpr unsigned long long kMaxPolled = 16;
  if (!polls || *arg2 == 0 || *arg2 > kMaxPolled) return false;
  UniqueFd mem(::open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  pollfd polled[kMaxPolled];
  const std::size_t size = sizeof(pollfd) * static_cast<std::size_t>(*arg2);
  if (!mem.valid() || ::pread(mem.get(), polled, size, static_cast<off_t>(*arg1)) != static_cast<ssize_t>(size)) {
    return false;
  }
  for (unsigned long long i = 0; i < *arg2; ++i) {
    if (polled[i].fd > 2 && (polled[i].events & POLLOUT)) return true;
  }
  return false;
}

bool input_has_room(pid_t su, int stdin_fd, int tty_fd) {
  int queued = 0;
  if (::ioctl(stdin_fd, FIONREAD, &queued) == 0 && queued > 0) return false;
  if (relay_holds_input(su)) return false;
  int in_tty = 0;
  return tty_fd < 0 || ::ioctl(tty_fd, TIOCINQ, &in_tty) != 0 ||
         static_cast<std::size_t>(in_tty) < kCanonicalLineLimit;
}

void discard_pending_input(pid_t su, int stdin_fd, int tty_fd, std::chrono::steady_clock::time_point deadline,
                           const std::function<void()>& read_output) {
  // A second open description of su's end of the pipe, non-blocking for us
  // alone; checked to be the very pipe this process writes to.
  UniqueFd pipe_in(::open(("/proc/" + std::to_string(su) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat ours, theirs;
  if (pipe_in.valid() && (::fstat(stdin_fd, &ours) != 0 || ::fstat(pipe_in.get(), &theirs) != 0 ||
                          ours.st_ino != theirs.st_ino || ours.st_dev != theirs.st_dev)) {
    pipe_in.reset();
  }
  char sink[65536];
  // The terminal keeps what it cannot queue yet in buffers of its own that
  // no flush reaches, and su relays what it still holds as room appears:
  // both refill the queue a moment after each flush. So the queue is
  // flushed whenever it holds anything, until it has stayed empty, with su
  // holding nothing, for a while.
  constexpr auto kQuiet = std::chrono::milliseconds(5);
  auto quiet_since = std::chrono::steady_clock::time_point::max();  // max: not quiet
  for (;;) {
    if (pipe_in.valid()) {
      while (::read(pipe_in.get(), sink, sizeof sink) > 0) {
      }
    }
    read_output();
    int queued = 0, in_pipe = 0;
    if (tty_fd >= 0 && ::ioctl(tty_fd, TIOCINQ, &queued) == 0 && queued > 0) ::tcflush(tty_fd, TCIFLUSH);
    ::ioctl(stdin_fd, FIONREAD, &in_pipe);
    const auto now = std::chrono::steady_clock::now();
    if (queued > 0 || in_pipe > 0 || relay_holds_input(su)) {
      quiet_since = std::chrono::steady_clock::time_point::max();
    } else if (quiet_since == std::chrono::steady_clock::time_point::max()) {
      quiet_since = now;
    } else if (now - quiet_since >= kQuiet) {
      break;
    }
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  if (tty_fd >= 0) ::tcflush(tty_fd, TCIFLUSH);
}

int signal_foreground_job(const ShellTerminal& t, int sig) {
  if (t.foreground <= 1 || t.foreground == t.shell_pgrp) return 0;
  // ESRCH: the job has ended meanwhile, and the shell not yet taken the
  // terminal back.
  return ::kill(-t.foreground, sig) == 0 || errno == ESRCH ? 0 : errno;
}

}  // namespace ferrowick
