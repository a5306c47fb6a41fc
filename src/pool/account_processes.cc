#include "pool/account_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace ferrowick {

namespace {

constexpr std::string_view kKillReport = "\xE2\x9A\xA0\xEF\xB8\x8F Failed to kill all processes of the user: ";

void report(const std::string& reason) {
  std::string line(kKillReport);
  line += reason;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The value after "<key>:" on its line of a /proc status text.
std::string_view status_field(std::string_view status, std::string_view key) {
  std::size_t pos = 0;
  while (pos < status.size()) {
    std::size_t eol = status.find('\n', pos);
    if (eol == std::string_view::npos) eol = status.size();
    std::string_view line = status.substr(pos, eol - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      line.remove_prefix(key.size() + 1);
      while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) line.remove_prefix(1);
      return line;
    }
    pos = eol + 1;
  }
  return {};
}

// Parses the next whitespace-separated unsigned number off the front of `s`.
std::optional<std::uint32_t> take_number(std::string_view& s) {
  while (!s.empty() && (s.front() == '\t' || s.front() == ' ')) s.remove_prefix(1);
  std::uint32_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc()) return std::nullopt;
  s.remove_prefix(static_cast<std::size_t>(end - s.data()));
  return v;
}

enum class Found { kNone, kLive, kZombie };

// What /proc/<pid>/status shows: a process that can act as `uid`, alive or
// dead but not yet reaped, or none.
Found process_of(int proc_fd, const char* pid, std::uint32_t uid) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/status", pid);
  UniqueFd fd(::openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Found::kNone;  // gone meanwhile
  // State and Uid come within the first few hundred bytes.
  char buf[1024];
  std::size_t len = 0;
  while (len < sizeof buf) {
    ssize_t n = ::read(fd.get(), buf + len, sizeof buf - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<std::size_t>(n);
  }
  std::string_view status(buf, len);
  std::string_view state = status_field(status, "State");
  if (state.empty() || state.front() == 'X') return Found::kNone;
  std::string_view uids = status_field(status, "Uid");
  bool match = false;
  for (int i = 0; i < 4; ++i) {
    auto id = take_number(uids);
    if (!id) break;
    match = match || *id == uid;
  }
  if (!match) return Found::kNone;
  return state.front() == 'Z' ? Found::kZombie : Found::kLive;
}

// Calls f(pid, name) for every process directory of /proc but this
// process's own; false when /proc cannot be read.
template <class F>
bool for_each_process(F&& f) {
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return false;
  const pid_t self = ::getpid();
  const int proc_fd = ::dirfd(proc.get());
  while (dirent* e = ::readdir(proc.get())) {
    std::string_view name(e->d_name);
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size() || pid == self) continue;
    f(proc_fd, pid, e->d_name);
  }
  return true;
}

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_send_signal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// Pidfds of processes signalled in one round, kept to wait for their exit:
// a killed process shows as alive until its exit is done, and looking again
// before that would only signal it again.
constexpr std::size_t kWatched = 64;
// How long one round waits for the watched processes to exit.
constexpr std::chrono::milliseconds kRoundWait{20};

// Waits until every watched process has exited, `until` has passed, or
// one round's wait is over.
void wait_for_exits(std::vector<UniqueFd>& watched, WaitClock::time_point until) {
  until = std::min(until, WaitClock::now() + kRoundWait);
  std::vector<pollfd> fds;
  fds.reserve(watched.size());
  for (const UniqueFd& fd : watched) fds.push_back({fd.get(), POLLIN, 0});
  while (!fds.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - WaitClock::now()).count();
    if (left <= 0) break;
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    std::erase_if(fds, [](const pollfd& p) { return p.revents != 0; });
  }
  if (watched.empty()) ::poll(nullptr, 0, 1);  // nothing to watch: a moment before looking again
  watched.clear();
}

}  // namespace

AccountProcesses processes_of(std::uint32_t uid) {
  AccountProcesses found;
  for_each_process([&](int proc_fd, pid_t pid, const char* name) {
    switch (process_of(proc_fd, name, uid)) {
      case Found::kLive: found.live.push_back(pid); break;
      case Found::kZombie: ++found.zombies; break;
      case Found::kNone: break;
    }
  });
  return found;
}

bool kill_account_processes(std::uint32_t uid, WaitClock::time_point deadline) {
  if (uid == 0) return false;
  std::vector<UniqueFd> watched;
  watched.reserve(kWatched);
  for (;;) {
    // Each round looks at every process once: what a fork bomb starts
    // during a round is found by the next one, and each signal ends a
    // process for good, so the rounds catch up with any fork rate.
    bool any = false;
    const bool listed = for_each_process([&](int proc_fd, pid_t pid, const char* name) {
      if (process_of(proc_fd, name, uid) != Found::kLive) return;
      any = true;
      UniqueFd fd(pidfd_open(pid));
      // Checked again through the pidfd's process: the pid may have been
      // reused since it was looked at.
      if (!fd.valid() || process_of(proc_fd, name, uid) != Found::kLive) return;
      if (pidfd_send_signal(fd.get(), SIGKILL) == 0 && watched.size() < kWatched) watched.push_back(std::move(fd));
    });
    if (!listed) return false;
    if (!any) return true;
    if (WaitClock::now() >= deadline) return false;
    wait_for_exits(watched, deadline);
  }
}

std::vector<UniqueFd> kill_unprivileged_children(pid_t parent) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", parent, parent);
  UniqueFd list(::open(path, O_RDONLY | O_CLOEXEC));
  char buf[256];
  const ssize_t n = list.valid() ? ::read(list.get(), buf, sizeof buf - 1) : -1;
  std::vector<UniqueFd> signalled;
  if (n <= 0) return signalled;
  buf[n] = '\0';
  std::string_view rest(buf, static_cast<std::size_t>(n));
  UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  while (!rest.empty()) {
    auto pid = take_number(rest);
    if (!pid) break;
    UniqueFd fd(pidfd_open(static_cast<pid_t>(*pid)));
    if (!fd.valid()) continue;
    // Looked at through the pidfd's process: still the child, not root.
    char name[16];
    std::snprintf(name, sizeof name, "%u", *pid);
    char status_path[32];
    std::snprintf(status_path, sizeof status_path, "%s/status", name);
    UniqueFd status(::openat(proc.get(), status_path, O_RDONLY | O_CLOEXEC));
    char text[1024];
    const ssize_t got = status.valid() ? ::read(status.get(), text, sizeof text) : -1;
    if (got <= 0) continue;
    std::string_view st(text, static_cast<std::size_t>(got));
    std::string_view ppid = status_field(st, "PPid"), uids = status_field(st, "Uid");
    auto parent_now = take_number(ppid);
    auto real = take_number(uids);
    if (!parent_now || *parent_now != static_cast<std::uint32_t>(parent) || !real || *real == 0) continue;
    if (pidfd_send_signal(fd.get(), SIGKILL) == 0) signalled.push_back(std::move(fd));
  }
  return signalled;
}

bool reaped_by_parent(int pidfd) { return pidfd_send_signal(pidfd, 0) != 0 && errno == ESRCH; }

bool await_reaping(std::uint32_t uid) {
  const auto until = WaitClock::now() + kReapGrace;
  while (processes_of(uid).zombies > kZombieAllowance) {
    if (WaitClock::now() >= until) return false;
    ::poll(nullptr, 0, 20);
  }
  return true;
}

bool kill_user_processes(std::uint32_t uid) {
  if (uid == 0) {
    // Pool accounts are never root; killing root's processes would end this
    // very process.
    report("refusing to kill the processes of uid 0");
    return false;
  }
  if (!kill_account_processes(uid, WaitClock::now() + kKillPatience)) {
    report("processes of uid " + std::to_string(uid) + " still alive after signal 9");
    return false;
  }
  return true;
}

}  // namespace ferrowick
