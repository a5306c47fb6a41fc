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

// Kills what the group `fd` holds by the best means it offers, and waits
// until it is empty or `deadline` passes. Returns 0 or an errno.
int kill_group(int fd, bool v2_kill, bool freezer, WaitClock::time_point deadline) {
  if (!v2_kill) return cgroup_v1::kill_all(fd, freezer, deadline);
  // Most trees are gone by the time their session ends: one read then
  // spares the kill.
  if (auto populated = cgroup_v2::populated(fd); populated && !*populated) return 0;
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
int remove_dir(const CgroupDirOps& ops, int parent, const std::string& name, const std::string& dir,
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

namespace {

// What a session's group does in one hierarchy.
struct GroupPlan {
  const std::string* dir;
  unsigned roles;
  bool v2;
};

// The hierarchies a session with `limits` joins on `host`, and its roles in
// each; co-mounted controllers share one.
std::vector<GroupPlan> plan_group(const CgroupHost& host, const CgroupLimits& limits) {
  std::vector<GroupPlan> plans;
  auto add = [&](const std::string& dir, unsigned roles, bool v2) {
    for (GroupPlan& p : plans)
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
  for (GroupPlan& p : plans) has_killer |= (p.roles & kRoleKill) != 0;
  // Without cgroup.kill or a freezer, one group's member list still finds
  // the tree (killed without freezing: a race with fork, so best effort).
  if (!has_killer && !plans.empty()) plans.front().roles |= kRoleKill;
  return plans;
}

std::vector<std::string> shape_of(const std::vector<GroupPlan>& plans) {
  std::vector<std::string> shape;
  for (const GroupPlan& p : plans) shape.push_back(*p.dir);
  return shape;
}

}  // namespace

std::vector<std::string> session_group_shape(const CgroupHost& host) { return shape_of(plan_group(host, {})); }

Expected<std::unique_ptr<SessionGroup>, CgroupError> SessionGroup::create(const CgroupHost& host,
                                                                          const CgroupLimits& limits,
                                                                          GroupStock* stock) {
  using Kind = CgroupError::Kind;
  if (auto refused = check_group_limits(host, limits)) return Unexpected(std::move(*refused));
  const std::vector<GroupPlan> plans = plan_group(host, limits);
  const std::vector<std::string> shape = shape_of(plans);

  std::optional<MadeGroup> made = stock ? stock->take(shape) : std::nullopt;
  if (!made && !plans.empty()) {
    auto fresh = make_group(host.ops, shape, next_group_name());
    if (!fresh) return Unexpected(CgroupError{Kind::kFailed, std::move(fresh.error())});
    made.emplace(std::move(*fresh));
  }
  std::unique_ptr<SessionGroup> group(new SessionGroup(host, made ? made->name : next_group_name(), stock));
  if (!made) return group;
  if (auto opened = open_group(*made); !opened) {
    remove_group(host.ops, *made, WaitClock::now());
    return Unexpected(CgroupError{Kind::kFailed, std::move(opened.error())});
  }
  BlockingLock lock(group->mu_);  // not shared yet; taken for the analysis
  for (std::size_t i = 0; i < plans.size(); ++i) {
    // From here on, finish() removes it.
    group->members_.push_back(Member{std::move(made->dirs[i]), plans[i].roles, plans[i].v2});
    Member& m = group->members_.back();
    auto writes = m.v2 ? cgroup_v2::limit_writes(limits, m.roles) : cgroup_v1::limit_writes(limits, m.roles, host.v1_memsw);
    if (auto r = apply_writes(m.dir.fd.get(), writes); !r)
      return Unexpected(CgroupError{Kind::kFailed, "cannot limit the group " + m.dir.path + ": " + r.error()});
    group->join_fds_.push_back(m.dir.procs.get());
    if (m.v2) {
      group->v2_dir_ = m.dir.fd.get();
      group->v2_procs_ = m.dir.procs.get();
    }
  }
  return group;
}

SessionGroup::~SessionGroup() { finish(); }

CgroupUsage SessionGroup::read_usage_locked() const {
  CgroupUsage u;
  for (const Member& m : members_) {
    if (m.v2)
      cgroup_v2::read_usage(m.dir.fd.get(), m.roles, u);
    else
      cgroup_v1::read_usage(m.dir.fd.get(), m.roles, u);
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
    if (m.roles & kRoleKill) return kill_group(m.dir.fd.get(), m.v2, (m.roles & kRoleFreezer) != 0, deadline);
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
  v2_dir_ = v2_procs_ = -1;
  MadeGroup emptied{name_, {}};
  for (Member& m : members_) {
    m.dir.procs.reset();  // kept without descriptors until removed
    m.dir.fd.reset();
    emptied.dirs.push_back(std::move(m.dir));
  }
  members_.clear();
  if (stock_) stock_->remove_later(std::move(emptied));
  else remove_group(ops_, emptied, WaitClock::now() + kGroupTeardownLimit);
}

const CgroupHost& session_cgroup_host() {
  static const CgroupHost& host = [] () -> const CgroupHost& {
    const CgroupHost& h = cgroup_host();
    purge_dead_groups(h);
    return h;
  }();
  return host;
}

GroupStock* session_group_stock() {
  // Never destroyed: sessions may end on other threads while the process
  // exits; the exit handler only stops it, after which removals happen at
  // once.
  static GroupStock* stock = [] {
    const CgroupHost& host = session_cgroup_host();
    auto* s = new GroupStock(host.ops, session_group_shape(host));
    s->set_sweep([&host] { purge_dead_groups(host); }, std::chrono::seconds(60));
    std::atexit([] { session_group_stock()->stop(); });
    return s;
  }();
  return stock;
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
    UniqueFd parent = open_group_dir(AT_FDCWD, dir.c_str());
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
      if (UniqueFd g = open_group_dir(parent.get(), name.c_str()); g.valid()) {
        bool v2_kill = ::faccessat(g.get(), "cgroup.kill", F_OK, AT_SYMLINK_NOFOLLOW) == 0;
        bool freezer = ::faccessat(g.get(), "freezer.state", F_OK, AT_SYMLINK_NOFOLLOW) == 0;
        kill_group(g.get(), v2_kill, freezer, deadline);
      }
      if (remove_dir(host.ops, parent.get(), name, dir + "/" + name, deadline) == 0) ++removed;
    }
  }
  return removed;
}

}  // namespace ferrowick
