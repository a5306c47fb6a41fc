#include "pool/session_group.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "pool/cgroup_v1.h"
#include "pool/cgroup_v2.h"

namespace ferrowick {

namespace {

constexpr std::chrono::microseconds kPollStep{500};

UniqueFd open_dir_at(int parent, const char* path) {
  int fd;
  do fd = ::openat(parent, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

// Kills what the group `fd` holds by the best means it offers, and waits
// until it is empty or `deadline` passes. Returns 0 or an errno.
int kill_group(int fd, bool v2_kill, bool freezer, WaitClock::time_point deadline) {
  if (!v2_kill) return cgroup_v1::kill_all(fd, freezer, deadline);
  if (int err = cgroup_v2::kill_all(fd)) return err;
  for (;;) {
    auto populated = cgroup_v2::populated(fd);
    if (!populated) return EIO;
    if (!*populated) return 0;
    if (WaitClock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(kPollStep);
  }
}

// Removes the group `name` below `parent`, waiting while the kernel still
// counts exiting processes in it (EBUSY).
int remove_group(const CgroupDirOps& ops, int parent, const std::string& name, const std::string& dir,
                 WaitClock::time_point deadline) {
  for (;;) {
    int err = ops.remove(parent, name.c_str(), dir);
    if (err != EBUSY || WaitClock::now() >= deadline) return err == ENOENT ? 0 : err;
    std::this_thread::sleep_for(kPollStep);
  }
}

std::string unavailable(const char* key, const CgroupOffer& offer) {
  return std::string("cannot limit \"") + key + "\" on this host: " + offer.reason;
}

}  // namespace

std::optional<CgroupError> check_group_limits(const CgroupHost& host, const CgroupLimits& limits) {
  using Kind = CgroupError::Kind;
  if (limits.cpu_percent) {
    long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::uint64_t most = 100 * static_cast<std::uint64_t>(cpus > 0 ? cpus : 1);
    if (*limits.cpu_percent < 1 || *limits.cpu_percent > most)
      return CgroupError{Kind::kInvalid, "cpu_percent must be between 1 and " + std::to_string(most) + ", not " +
                                             std::to_string(*limits.cpu_percent)};
  }
  if (limits.memory && host.memory.mech == CgroupMech::kNone)
    return CgroupError{Kind::kUnavailable, unavailable("memory", host.memory)};
  if (limits.pids && host.pids.mech == CgroupMech::kNone)
    return CgroupError{Kind::kUnavailable, unavailable("pids", host.pids)};
  if (limits.cpu_percent && host.cpu.mech == CgroupMech::kNone)
    return CgroupError{Kind::kUnavailable, unavailable("cpu_percent", host.cpu)};
  return std::nullopt;
}

Expected<std::unique_ptr<SessionGroup>, CgroupError> SessionGroup::create(const CgroupHost& host,
                                                                          const CgroupLimits& limits) {
  using Kind = CgroupError::Kind;
  if (auto refused = check_group_limits(host, limits)) return Unexpected(std::move(*refused));

  // Which hierarchies the session joins, and what its group does in each.
  struct Plan {
    const std::string* dir;
    unsigned roles;
    bool v2;
  };
  std::vector<Plan> plans;
  auto add = [&](const std::string& dir, unsigned roles, bool v2) {
    for (Plan& p : plans)
      if (*p.dir == dir) {
        p.roles |= roles;
        return;
      }
    plans.push_back({&dir, roles, v2});
  };
  auto v2 = [&](const CgroupOffer& o, unsigned role) { return o.mech == CgroupMech::kV2 ? role : 0u; };
  auto v1 = [&](const CgroupOffer& o) { return o.mech == CgroupMech::kV1; };
  const CgroupLayout& l = host.layout;
  if (host.v2_usable)
    add(l.unified,
        v2(host.tree_kill, kRoleKill) | (host.v2_cpu_stat ? kRoleCpuTime : 0u) | v2(host.memory, kRoleMemory) |
            v2(host.pids, kRolePids) | (limits.cpu_percent ? v2(host.cpu, kRoleCpu) : 0u),
        true);
  if (v1(host.memory)) add(l.memory, kRoleMemory, false);
  if (v1(host.pids)) add(l.pids, kRolePids, false);
  if (v1(host.cpu) && limits.cpu_percent) add(l.cpu, kRoleCpu, false);
  if (!host.v2_cpu_stat && (host.v1_roles & kRoleCpuTime)) add(l.cpuacct, kRoleCpuTime, false);
  if (v1(host.tree_kill)) add(l.freezer, kRoleFreezer | kRoleKill, false);
  bool has_killer = false;
  for (Plan& p : plans) has_killer |= (p.roles & kRoleKill) != 0;
  // Without cgroup.kill or a freezer, one group's member list still finds
  // the tree (killed without freezing: a race with fork, so best effort).
  if (!has_killer && !plans.empty()) plans.front().roles |= kRoleKill;

  static std::atomic<std::uint64_t> counter{0};
  std::unique_ptr<SessionGroup> group(
      new SessionGroup(host, "ferrowick-" + std::to_string(::getpid()) + "-" + std::to_string(++counter)));
  BlockingLock lock(group->mu_);  // not shared yet; taken for the analysis
  for (const Plan& p : plans) {
    Member m;
    m.dir = *p.dir + "/" + group->name_;
    m.roles = p.roles;
    m.v2 = p.v2;
    m.parent = open_dir_at(AT_FDCWD, p.dir->c_str());
    if (!m.parent.valid())
      return Unexpected(CgroupError{Kind::kFailed, "cannot open " + *p.dir + ": " + system_error_text(errno)});
    if (int err = host.ops.make(m.parent.get(), group->name_.c_str(), m.dir))
      return Unexpected(CgroupError{Kind::kFailed, "cannot make the group " + m.dir + ": " + system_error_text(err)});
    m.fd = open_dir_at(m.parent.get(), group->name_.c_str());
    int open_err = errno;
    bool opened = m.fd.valid();
    group->members_.push_back(std::move(m));  // from here on, finish() removes it
    Member& mm = group->members_.back();
    if (!opened)
      return Unexpected(CgroupError{Kind::kFailed, "cannot open " + mm.dir + ": " + system_error_text(open_err)});
    auto writes = mm.v2 ? cgroup_v2::limit_writes(limits, mm.roles) : cgroup_v1::limit_writes(limits, mm.roles, host.v1_memsw);
    if (auto r = apply_writes(mm.fd.get(), writes); !r)
      return Unexpected(CgroupError{Kind::kFailed, "cannot limit the group " + mm.dir + ": " + r.error()});
    int procs = ::openat(mm.fd.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (procs < 0)
      return Unexpected(CgroupError{Kind::kFailed, "cannot open " + mm.dir + "/cgroup.procs: " + system_error_text(errno)});
    group->procs_.emplace_back(procs);
    group->join_fds_.push_back(procs);
  }
  return group;
}

SessionGroup::~SessionGroup() { finish(); }

CgroupUsage SessionGroup::read_usage_locked() const {
  CgroupUsage u;
  for (const Member& m : members_) {
    if (m.v2)
      cgroup_v2::read_usage(m.fd.get(), m.roles, u);
    else
      cgroup_v1::read_usage(m.fd.get(), m.roles, u);
  }
  return u;
}

CgroupUsage SessionGroup::usage() const {
  BlockingLock lock(mu_);
  return finished_ ? final_ : read_usage_locked();
}

int SessionGroup::kill_tree_locked() {
  auto deadline = WaitClock::now() + kGroupTeardownLimit;
  for (const Member& m : members_)
    if (m.roles & kRoleKill) return kill_group(m.fd.get(), m.v2, (m.roles & kRoleFreezer) != 0, deadline);
  return 0;
}

int SessionGroup::kill_tree() {
  BlockingLock lock(mu_);
  return finished_ ? 0 : kill_tree_locked();
}

void SessionGroup::finish() {
  BlockingLock lock(mu_);
  if (finished_) return;
  finished_ = true;
  if (members_.empty()) return;
  kill_tree_locked();
  final_ = read_usage_locked();
  join_fds_.clear();
  procs_.clear();
  auto deadline = WaitClock::now() + kGroupTeardownLimit;
  for (Member& m : members_) {
    m.fd.reset();
    if (int err = remove_group(ops_, m.parent.get(), name_, m.dir, deadline))
      std::fprintf(stderr, "⚠️ Failed to remove the control group %s: %s\n", m.dir.c_str(), system_error_text(err).c_str());
  }
  members_.clear();
}

const CgroupHost& session_cgroup_host() {
  static const CgroupHost& host = [] () -> const CgroupHost& {
    const CgroupHost& h = cgroup_host();
    purge_dead_groups(h);
    return h;
  }();
  return host;
}

int purge_dead_groups(const CgroupHost& host) {
  const CgroupLayout& l = host.layout;
  const std::string* dirs[] = {&l.unified, &l.memory, &l.pids, &l.cpu, &l.cpuacct, &l.freezer};
  int removed = 0;
  for (std::size_t i = 0; i < std::size(dirs); ++i) {
    const std::string& dir = *dirs[i];
    bool seen = dir.empty();
    for (std::size_t j = 0; j < i; ++j) seen |= *dirs[j] == dir;  // co-mounted controllers
    if (seen) continue;
    UniqueFd parent = open_dir_at(AT_FDCWD, dir.c_str());
    if (!parent.valid()) continue;
    std::vector<std::string> dead;
    if (DIR* d = ::fdopendir(::fcntl(parent.get(), F_DUPFD_CLOEXEC, 0))) {
      while (dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        if (n.substr(0, 10) != "ferrowick-") continue;
        std::size_t dash = n.find('-', 10);
        if (dash == std::string_view::npos || dash == 10) continue;
        auto pid = parse_u64(n.substr(10, dash - 10));
        if (!pid || *pid == 0 || *pid > 0x7fffffff) continue;
        // Only a pool that is gone leaves its groups to others.
        if (static_cast<pid_t>(*pid) == ::getpid() || ::kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH)
          continue;
        dead.emplace_back(n);
      }
      ::closedir(d);
    }
    auto deadline = WaitClock::now() + kGroupTeardownLimit;
    for (const std::string& name : dead) {
      if (UniqueFd g = open_dir_at(parent.get(), name.c_str()); g.valid()) {
        bool v2_kill = ::faccessat(g.get(), "cgroup.kill", F_OK, AT_SYMLINK_NOFOLLOW) == 0;
        bool freezer = ::faccessat(g.get(), "freezer.state", F_OK, AT_SYMLINK_NOFOLLOW) == 0;
        kill_group(g.get(), v2_kill, freezer, deadline);
      }
      if (remove_group(host.ops, parent.get(), name, dir + "/" + name, deadline) == 0) ++removed;
    }
  }
  return removed;
}

}  // namespace ferrowick
