// SessionGroup: the control groups that hold one session's whole process
// tree, one per hierarchy the host offers (cgroup_host.h), all named
// "ferrowick-<pool pid>-<n>" below the pool's own group.
//
// Lifecycle: create() makes the groups and sets the limits before the
// session's child starts; the child writes "0" to each of join_fds() before
// it executes anything, so no process of the session is ever outside the
// groups; close kills the tree (kill_tree), and finish() keeps the last
// usage figures and removes the groups. A group whose owning pool died is
// removed by purge_dead_groups().
//
// Thread-safe: usage() may run while another thread kills or finishes.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/blocking_mutex.h"
#include "common/expected.h"
#include "common/thread_annotations.h"
#include "pool/cgroup_host.h"
#include "pool/cgroup_io.h"
#include "pool/group_stock.h"
#include "common/system_error.h"
#include "common/unique_fd.h"

namespace ferrowick {

struct CgroupError {
  enum class Kind {
    kUnavailable,  // the host offers no writable group for a requested limit
    kInvalid,      // a limit out of its range
    kFailed,       // making the group or writing a limit failed
  };
  Kind kind = Kind::kFailed;
  std::string message;
};

// How long killing a tree and removing its groups may take before the pool
// gives up on them (they are then left for purge_dead_groups()).
inline constexpr std::chrono::seconds kGroupTeardownLimit{3};

// Why `limits` cannot be had on `host` (kUnavailable naming the key and the
// reason, kInvalid for a cpu_percent outside 1 to 100 x online CPUs), or
// nothing when they can. SessionGroup::create checks the same first.
std::optional<CgroupError> check_group_limits(const CgroupHost& host, const CgroupLimits& limits);

class SessionGroup {
 public:
  // Makes the session's groups on `host` and sets `limits`. Fails with
  // kUnavailable, naming the key and the reason, when a requested limit has
  // no mechanism; kInvalid for a cpu_percent outside 1 to 100 x online
  // CPUs; kFailed when a group cannot be made or a limit not written (what
  // was made is removed again). On a host without writable groups and
  // without limits, the result has no groups: usage() then says "rusage".
  //
  // With a `stock` (of `host`), the groups are taken from it when it has
  // some ready in the hierarchies these limits need, and are handed back to
  // it for removal at finish(); without, they are made and removed here.
  static Expected<std::unique_ptr<SessionGroup>, CgroupError> create(const CgroupHost& host,
                                                                     const CgroupLimits& limits,
                                                                     GroupStock* stock = nullptr);
  SessionGroup(const SessionGroup&) = delete;
  SessionGroup& operator=(const SessionGroup&) = delete;
  ~SessionGroup();

  // Descriptors of each group's cgroup.procs, open for writing and
  // close-on-exec: a child joins by writing "0" to each (async-signal-safe).
  // Read before the session starts, while nothing else uses the group.
  const std::vector<int>& join_fds() const { return join_fds_; }
  // The v2 group's directory, for a child to be born in, and its entry in
  // join_fds(); -1 without a v2 group. Read as join_fds().
  int v2_dir() const { return v2_dir_; }
  int v2_procs() const { return v2_procs_; }
  bool empty() const EXCLUDES(mu_) {
    BlockingLock lock(mu_);
    return members_.empty();
  }
  const std::string& name() const { return name_; }

  // What the tree used so far; after finish(), the figures at its end.
  // With no group holding memory figures, source is "rusage" and the
  // caller fills in what wait4 reported.
  CgroupUsage usage() const EXCLUDES(mu_);

  // Kills every process of the tree and waits until the groups are empty,
  // for at most kGroupTeardownLimit. Returns 0 or an errno (ETIMEDOUT).
  int kill_tree() EXCLUDES(mu_);

  // The stock's chores (GroupStock::tend), for a caller about to wait for
  // the session's processes anyway; nothing without a stock.
  void tend_stock() const {
    if (stock_) stock_->tend();
  }

  // kill_tree(), keeps the usage figures, removes the groups (through the
  // stock, later, when it came with one). Idempotent.
  void finish() EXCLUDES(mu_);

 private:
  struct Member {
    MadeGroup::Dir dir;
    unsigned roles = 0;
    bool v2 = false;
  };
  SessionGroup(const CgroupHost& host, std::string name, GroupStock* stock)
      : ops_(host.ops), name_(std::move(name)), stock_(stock) {}
  CgroupUsage read_usage_locked() const REQUIRES(mu_);
  int kill_tree_locked() REQUIRES(mu_);

  CgroupDirOps ops_;
  std::string name_;
  GroupStock* const stock_;  // or null
  mutable BlockingMutex mu_;
  std::vector<Member> members_ GUARDED_BY(mu_);
  std::vector<int> join_fds_;  // the members' dir.procs: see join_fds()
  int v2_dir_ = -1, v2_procs_ = -1;
  bool finished_ GUARDED_BY(mu_) = false;
  CgroupUsage final_ GUARDED_BY(mu_);
};

// This host's groups (cgroup_host()), with the groups of pools that died
// purged at the first call.
const CgroupHost& session_cgroup_host();

// The hierarchies a session without tree-wide limits joins on `host`, the
// shape of the groups a stock keeps for it.
std::vector<std::string> session_group_shape(const CgroupHost& host);

// The stock of session_cgroup_host()'s groups every session and command of
// this process takes its groups from; stopped when the process exits.
GroupStock* session_group_stock();

// Removes the groups below the pool's own that a pool process which no
// longer runs left behind ("ferrowick-<pid>-..." with no process <pid>),
// killing what they still hold. Groups of running pools are never touched.
// Returns how many groups were removed.
int purge_dead_groups(const CgroupHost& host);

}  // namespace ferrowick
