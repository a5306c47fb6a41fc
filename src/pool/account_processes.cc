#include "pool/account_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <string_view>
#include <thread>

#include "common/system_error.h"
#include "common/unique_fd.h"
#include "common/utf8.h"
#include "pool/child_process.h"

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

// The value after "<key>\t" on its line of a /proc status text.
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

// What /proc/<pid>/status shows: a process run by `uid`, alive or dead but
// not yet reaped, or none.
Found process_of(int proc_fd, const char* pid, std::uint32_t uid) {
  std::string path(pid);
  path += "/status";
  UniqueFd fd(::openat(proc_fd, path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Found::kNone;  // gone meanwhile
  char buf[2048];
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
  auto real = take_number(uids);
  auto effective = take_number(uids);
  if (!(real && *real == uid) && !(effective && *effective == uid)) return Found::kNone;
  return state.front() == 'Z' ? Found::kZombie : Found::kLive;
}

}  // namespace

std::optional<std::string> pkill_failure_reason(const Expected<HostOutput, int>& run) {
  if (!run) return "Failed to execute the command `pkill`: " + system_error_text(run.error());
  std::optional<int> code = run->exit_code();
  if (code && *code <= 2) return std::nullopt;
  std::string reason = "Failed exit code: ";
  reason += code ? std::to_string(*code) : std::string("None");
  reason += " (";
  if (is_valid_utf8(run->err)) reason += run->err;
  reason += ')';
  return reason;
}

AccountProcesses processes_of(std::uint32_t uid) {
  AccountProcesses found;
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return found;
  const pid_t self = ::getpid();
  const int proc_fd = ::dirfd(proc.get());
  while (dirent* e = ::readdir(proc.get())) {
    std::string_view name(e->d_name);
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size() || pid == self) continue;
    switch (process_of(proc_fd, e->d_name, uid)) {
      case Found::kLive: found.live.push_back(pid); break;
      case Found::kZombie: ++found.zombies; break;
      case Found::kNone: break;
    }
  }
  return found;
}

namespace {

// Forks a child that becomes `uid` and sends signal 9 to every process it
// may signal, `rounds` times: each kill(-1) reaches every process of the uid
// at that moment, so what a fork bomb adds during one round dies in the
// next. (kill(-1) cannot tell when none is left: it fails only when the
// host has no other process at all; the caller looks in /proc.) The child
// makes only async-signal-safe calls: this process may have other threads.
void kill_all_as(std::uint32_t uid, int rounds) {
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Raw system call: the C library's wrapper would try to reach threads
    // that exist only in the parent. Only the uid matters to kill(2).
    if (::syscall(SYS_setresuid, uid, uid, uid) != 0) ::_exit(2);
    for (int i = 0; i < rounds; ++i) {
      ::kill(-1, SIGKILL);
      ::sched_yield();
    }
    ::_exit(0);
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid > 0) (void)wait_for_pid(pid);
}

}  // namespace

bool kill_remaining_processes(std::uint32_t uid, std::chrono::milliseconds patience) {
  if (uid == 0) return false;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + patience;
  const auto grace = std::min(deadline, start + kReapGrace);
  // A look in /proc is cheaper than a fork: an account without processes,
  // the usual case, costs only that.
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const AccountProcesses found = processes_of(uid);
    if (!found.live.empty()) {
      if (now >= deadline) return false;
      kill_all_as(uid, 16);
      continue;
    }
    // The dead still count against the next tenant's process limit until
    // their parent (mostly init) reaps them: give it a moment, no more.
    if (now >= grace || found.zombies == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool kill_user_processes(std::uint32_t uid) {
  if (uid == 0) {
    // `pkill -u 0` would end this very process; pool accounts are never root.
    report("refusing to kill the processes of uid 0");
    return false;
  }
  if (auto reason = pkill_failure_reason(run_host_command({"pkill", "-u", std::to_string(uid)}))) {
    report(*reason);
  }
  if (!kill_remaining_processes(uid)) {
    report("processes of uid " + std::to_string(uid) + " still alive after signal 9");
    return false;
  }
  return true;
}

}  // namespace ferrowick
