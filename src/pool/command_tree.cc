#include "pool/command_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/unique_fd.h"

namespace ferrowick {

namespace {

bool take_int(std::string_view& s, long& out) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc()) return false;
  s.remove_prefix(static_cast<std::size_t>(end - s.data()));
  return true;
}

// Reads a small /proc file whole into `buf`; the length, or 0.
std::size_t read_small(int dirfd, const std::string& path, char* buf, std::size_t size) {
  UniqueFd fd(::openat(dirfd, path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return 0;
  std::size_t len = 0;
  while (len < size) {
    ssize_t n = ::read(fd.get(), buf + len, size - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<std::size_t>(n);
  }
  return len;
}

// The first number after "<key>:" in a /proc status text; -1 when absent.
long status_number(std::string_view status, std::string_view key, bool last = false) {
  std::size_t pos = 0;
  while (pos < status.size()) {
    std::size_t eol = status.find('\n', pos);
    if (eol == std::string_view::npos) eol = status.size();
    std::string_view line = status.substr(pos, eol - pos);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':') {
      line.remove_prefix(key.size() + 1);
      long v = -1, next;
      if (!take_int(line, v)) return -1;
      while (last && take_int(line, next)) v = next;
      return v;
    }
    pos = eol + 1;
  }
  return -1;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

class TreeKill {
 public:
  TreeKill(std::uint32_t uid, pid_t leader) : uid_(uid) {
    sessions_.insert(leader);
    take(leader, /*check_parent=*/false);
  }

  // One look at every process; stops each newly found member. True when
  // some member was new.
  bool pass(int proc_fd) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(::dup(proc_fd)));
    if (!dir) return false;
    ::rewinddir(dir.get());
    std::vector<ProcStat> all;
    char buf[1024];
    while (dirent* e = ::readdir(dir.get())) {
      if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
      std::size_t n = read_small(proc_fd, std::string(e->d_name) + "/stat", buf, sizeof buf);
      ProcStat st;
      if (n > 0 && parse_proc_stat(std::string_view(buf, n), st)) all.push_back(st);
    }
    bool found = false, grew = true;
    while (grew) {  // until the closure over parents and sessions is complete
      grew = false;
      for (const ProcStat& st : all) {
        if (seen_.count(st.pid) || !(sessions_.count(st.session) || members_.count(st.ppid))) continue;
        if (take(st.pid, true)) grew = found = true;
      }
    }
    return found;
  }

  // Kills every member, then waits (up to `patience`) until each has
  // exited: a pidfd turns readable once its process is dead.
  std::size_t kill_all(std::chrono::milliseconds patience) {
    std::vector<pollfd> dying;
    dying.reserve(held_.size());
    for (auto& [pid, fd] : held_) {
      pidfd_signal(fd.get(), SIGKILL);
      dying.push_back({fd.get(), POLLIN, 0});
    }
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::size_t next = 0;
    while (next < dying.size()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      int n = ::poll(&dying[next], 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
      if (n == 0) break;  // out of patience
      if (n > 0) ++next;
    }
    return held_.size();
  }

 private:
  static int pidfd_signal(int fd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
  }

  // Opens a pidfd on `pid`, then confirms from its status (read after the
  // open, so it describes the process the pidfd holds or a later one) that
  // it is the account's and still belongs to the tree; stops it.
  bool take(pid_t pid, bool check_parent) {
    seen_.insert(pid);
    UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!fd.valid()) return false;
    char buf[4096];
    std::size_t n = read_small(AT_FDCWD, "/proc/" + std::to_string(pid) + "/status", buf, sizeof buf);
    std::string_view status(buf, n);
    const long ruid = status_number(status, "Uid");
    if (ruid < 0 || static_cast<std::uint32_t>(ruid) != uid_) return false;
    const long ppid = status_number(status, "PPid"), sid = status_number(status, "NSsid", true);
    if (check_parent && !members_.count(static_cast<pid_t>(ppid)) && !sessions_.count(static_cast<pid_t>(sid))) {
      return false;
    }
    members_.insert(pid);
    if (sid > 0) sessions_.insert(static_cast<pid_t>(sid));
    pidfd_signal(fd.get(), SIGSTOP);
    held_.emplace(pid, std::move(fd));
    return true;
  }

  std::uint32_t uid_;
  std::unordered_set<pid_t> seen_, members_, sessions_;
  std::unordered_map<pid_t, UniqueFd> held_;
};

}  // namespace

bool parse_proc_stat(std::string_view text, ProcStat& out) {
  long pid = 0;
  std::string_view s = text;
  if (!take_int(s, pid)) return false;
  // The command name is in parentheses and may hold anything, ")" too:
  // the fields resume after the last ")".
  std::size_t close = text.rfind(')');
  if (close == std::string_view::npos || close + 2 >= text.size()) return false;
  s = text.substr(close + 2);
  out.pid = static_cast<pid_t>(pid);
  out.state = s.front();
  s.remove_prefix(1);
  long ppid = 0, pgrp = 0, session = 0;
  if (!take_int(s, ppid) || !take_int(s, pgrp) || !take_int(s, session)) return false;
  out.ppid = static_cast<pid_t>(ppid);
  out.session = static_cast<pid_t>(session);
  return true;
}

std::size_t kill_command_tree(std::uint32_t uid, pid_t leader) {
  if (uid == 0 || leader <= 0) return 0;
  UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  TreeKill tree(uid, leader);
  if (proc.valid()) {
    // Each pass stops what it finds; a bounded number of passes suffices
    // for any tree that is not growing faster than the passes, and a
    // stopped member cannot grow it.
    for (int i = 0; i < 64 && tree.pass(proc.get()); ++i) {
    }
  }
  return tree.kill_all(std::chrono::milliseconds(1000));
}

}  // namespace ferrowick
