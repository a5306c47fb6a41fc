#include "pool/command_launch.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace ferrowick {

namespace {

// What the account database looked like: a lookup is reused only while
// neither file changed (a new group membership, a renamed account).
struct DatabaseStamp {
  struct stat passwd {}, group {};
  bool valid = false;

  static DatabaseStamp now() {
    DatabaseStamp s;
    s.valid = ::stat("/etc/passwd", &s.passwd) == 0 && ::stat("/etc/group", &s.group) == 0;
    return s;
  }
  static bool same(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
  }
  bool matches(const DatabaseStamp& o) const {
    return valid && o.valid && same(passwd, o.passwd) && same(group, o.group);
  }
};

struct CachedIdentity {
  DatabaseStamp stamp;
  AccountIdentity who;
};

// Looking an account up through the C library costs about 0.2 ms (the
// files are parsed each time), a third of a whole command; the answers
// are kept per uid.
std::mutex g_cache_mu;
std::unordered_map<std::uint32_t, CachedIdentity> g_cache;

Expected<AccountIdentity, int> look_up(std::uint32_t uid, const std::string& home) {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(4096);
  for (;;) {
    int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return Unexpected(rc);
    if (!found) return Unexpected(ENOENT);
    break;
  }
  AccountIdentity who{pw.pw_name, home, {pw.pw_uid, pw.pw_gid, {}}};
  int count = 16;
  for (;;) {
    who.ids.groups.resize(static_cast<std::size_t>(count));
    int want = count;
    if (::getgrouplist(pw.pw_name, pw.pw_gid, who.ids.groups.data(), &want) >= 0) {
      who.ids.groups.resize(static_cast<std::size_t>(want));
      return who;
    }
    if (want <= count) want = count * 2;  // some versions do not report the size needed
    if (want > 65536) return Unexpected(E2BIG);
    count = want;
  }
}

}  // namespace

Expected<AccountIdentity, int> account_identity(std::uint32_t uid, const std::string& home) {
  const DatabaseStamp stamp = DatabaseStamp::now();
  {
    std::lock_guard<std::mutex> lk(g_cache_mu);
    auto it = g_cache.find(uid);
    if (it != g_cache.end() && it->second.stamp.matches(stamp)) {
      AccountIdentity who = it->second.who;
      who.home = home;
      return who;
    }
  }
  auto who = look_up(uid, home);
  if (who && stamp.valid) {
    std::lock_guard<std::mutex> lk(g_cache_mu);
    g_cache.insert_or_assign(uid, CachedIdentity{stamp, *who});
  }
  return who;
}

std::vector<std::string> clean_environment(const AccountIdentity& who) {
  return {"HOME=" + who.home,
          "USER=" + who.username,
          "LOGNAME=" + who.username,
          "SHELL=/bin/bash",
          std::string("PATH=") + kDefaultCommandPath,
          "LANG=C.UTF-8"};
}

Expected<LaunchedCommand, LaunchError> launch_command(const AccountIdentity& who, const CommandSpec& spec,
                                                      bool with_stdin, std::span<const int> cgroup_procs,
                                                      const ChildConfinement* confinement, int cgroup_v2_dir,
                                                      int cgroup_v2_procs) {
  SpawnOptions options;
  options.cgroup_procs.assign(cgroup_procs.begin(), cgroup_procs.end());
  options.cgroup_v2_dir = cgroup_v2_dir;
  options.cgroup_v2_procs = cgroup_v2_procs;
  options.confinement = confinement;
  options.env = spec.env ? *spec.env : clean_environment(who);
  options.limits = spec.limits;
  options.account = who.ids;
  options.cwd = spec.cwd ? *spec.cwd : who.home;
  options.new_session = true;
  options.path = kDefaultCommandPath;
  for (const std::string& e : *options.env)
    if (e.starts_with("PATH=")) options.path = e.substr(5);

  auto setup_error = [](int e) { return Unexpected(LaunchError{LaunchStep::kSetup, e}); };
  UniqueFd in_r, in_w, out_r, out_w, err_r, err_w;
  if (with_stdin) {
    if (int e = make_pipe(in_r, in_w)) return setup_error(e);
  }
  if (int e = make_pipe(out_r, out_w)) return setup_error(e);
  if (int e = make_pipe(err_r, err_w)) return setup_error(e);
  for (const UniqueFd* host_end : {&in_w, &out_r, &err_r}) {
    if (host_end->valid() && ::fcntl(host_end->get(), F_SETFL, O_NONBLOCK) != 0) return setup_error(errno);
  }
  auto started = launch_child(spec.argv, with_stdin ? in_r.get() : -1, out_w.get(), err_w.get(), &options);
  if (!started) return Unexpected(started.error());
  // The child's ends close here, so the ends of the streams are seen as soon
  // as the command's tree lets go of them.
  return LaunchedCommand{ChildProcess(started->pid, std::move(started->pidfd), {}, std::move(out_r), std::move(err_r)),
                         std::move(in_w)};
}

}  // namespace ferrowick
