// GroupStock: the groups of sessions and commands, made before they are
// needed and removed after, by threads that wait anyway.
//
// Making a group costs a mkdir per hierarchy and removing it an rmdir, each
// tens of microseconds of kernel work (the controllers' files appear and
// go), about a fifth of a short command's whole start and end. The stock
// keeps a few empty groups ready in the hierarchies a session without
// tree-wide limits uses (its "shape"), and keeps the groups of ended
// sessions for removal later. Both chores are done by tend(), which a
// thread calls while it waits for its own child anyway (the command runs
// meanwhile on another CPU), so neither lies on the path from a call to its
// result. No thread of its own: a process that forks stays single-threaded.
//
// What a session is promised does not change: every session gets a group
// never used before (so its figures and limits start clean), and its tree
// is killed before its end returns; only the removal of the then empty
// directories is deferred, and at most kMaxDoomed of them wait: beyond,
// remove_later() removes at once.
//
// Ready groups are empty and carry no limits; the taker writes its own.
// After a failure to make one, tend() makes none until the next take(), so a
// host whose groups cannot be made pays nothing more (the caller then makes
// one itself and reports why it could not).
//
// Life: stop() removes what the stock holds, and later removals happen at
// once. A process that forks leaves the stock to the parent: the child's
// copy forgets the parent's groups without touching them. A process that
// dies without stop() leaves empty groups named after its pid, which
// purge_dead_groups() removes.
//
// Thread-safe.
#pragma once

#include <condition_variable>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/blocking_mutex.h"
#include "common/expected.h"
#include "common/thread_annotations.h"
#include "common/unique_fd.h"
#include "pool/cgroup_host.h"
#include "pool/fd_wait.h"

namespace ferrowick {

// One group as made in each hierarchy of a shape. Kept (ready, or ended and
// waiting for removal) without descriptors, so the stock holds none; opened
// by open_group() for the session that takes it.
struct MadeGroup {
  struct Dir {
    std::string hierarchy;  // the pool's own group in this hierarchy
    std::string path;       // hierarchy/name, for messages and the directory hooks
    UniqueFd fd;            // the group itself, once opened
    UniqueFd procs;         // its cgroup.procs, open for writing (to join it), once opened
  };
  std::string name;
  std::vector<Dir> dirs;  // in the order of the shape
};

// The directory `path` below `parent` (or AT_FDCWD), opened without
// following a link; invalid with errno set on failure.
UniqueFd open_group_dir(int parent, const char* path);

// A new group name, "ferrowick-<pid>-<n>", unique within this process.
std::string next_group_name();

// Makes the group `name` below each of `shape` (the pool's own groups of
// the hierarchies, in order), leaving nothing open. On failure, what was
// made is removed again and the message says what failed.
Expected<MadeGroup, std::string> make_group(const CgroupDirOps& ops, const std::vector<std::string>& shape,
                                            const std::string& name);

// Opens each directory of `group` and its cgroup.procs; the message says
// what could not be opened.
Expected<void, std::string> open_group(MadeGroup& group);

// Removes the directories of an emptied group, waiting while the kernel
// still counts exiting processes in one (EBUSY) until `deadline`; what
// cannot be removed is reported on stderr.
void remove_group(const CgroupDirOps& ops, MadeGroup& group, WaitClock::time_point deadline);

class GroupStock {
 public:
  static constexpr std::size_t kMaxDoomed = 16;

  // Keeps up to `depth` groups of `shape` ready.
  GroupStock(CgroupDirOps ops, std::vector<std::string> shape, std::size_t depth = 2);
  GroupStock(const GroupStock&) = delete;
  GroupStock& operator=(const GroupStock&) = delete;
  ~GroupStock();

  const std::vector<std::string>& shape() const { return shape_; }

  // A ready group when `shape` is this stock's and one is ready. Never
  // makes one.
  std::optional<MadeGroup> take(const std::vector<std::string>& shape) EXCLUDES(mu_);

  // Keeps `group`, whose processes are all gone, for removal by tend()
  // (at once in this thread once the stock stopped or kMaxDoomed wait).
  void remove_later(MadeGroup group) EXCLUDES(mu_);

  // The chores, for a thread with time to spare: removes two of the groups
  // kept for removal (each command adds one: so one caller's wait never
  // pays for many), then makes groups until `depth` are ready, and runs
  // the sweep (set_sweep) when its interval has passed.
  void tend() EXCLUDES(mu_);

  // A chore for tend() to run at most once per `interval`: the process's
  // stock purges the groups that processes it forked left when they ended
  // without their exit handlers (os._exit, as multiprocessing's workers).
  void set_sweep(std::function<void()> sweep, std::chrono::seconds interval) EXCLUDES(mu_);

  // Removes every group handed to remove_later() before (and those other
  // threads are removing meanwhile are waited for).
  void flush() EXCLUDES(mu_);

  // Removes the ready groups and those kept for removal. Later takes find
  // nothing; later removals happen at once.
  void stop() EXCLUDES(mu_);

  // How many groups are ready, and wait for removal (for tests).
  std::size_t ready() const EXCLUDES(mu_);
  std::size_t doomed() const EXCLUDES(mu_);

 private:
  // Removes up to `most` doomed groups, oldest first.
  void remove_doomed(std::size_t most) EXCLUDES(mu_);

  // pthread_atfork's three: every stock is held across a fork, so the
  // child's copy is consistent when it forgets the parent's groups.
  static void before_fork() NO_THREAD_SAFETY_ANALYSIS;
  static void after_fork_in_parent() NO_THREAD_SAFETY_ANALYSIS;
  static void after_fork_in_child() NO_THREAD_SAFETY_ANALYSIS;

  const CgroupDirOps ops_;
  const std::vector<std::string> shape_;
  const std::size_t depth_;

  mutable BlockingMutex mu_;
  std::condition_variable removed_;  // a removal by another thread ended
  std::vector<MadeGroup> ready_ GUARDED_BY(mu_);
  std::vector<MadeGroup> doomed_ GUARDED_BY(mu_);
  std::size_t removing_ GUARDED_BY(mu_) = 0;  // taken off doomed_, not yet removed
  std::size_t making_ GUARDED_BY(mu_) = 0;    // being made, not yet ready
  bool stopped_ GUARDED_BY(mu_) = false;
  bool make_failed_ GUARDED_BY(mu_) = false;
  std::function<void()> sweep_ GUARDED_BY(mu_);
  std::chrono::seconds sweep_interval_ GUARDED_BY(mu_){0};
  WaitClock::time_point next_sweep_ GUARDED_BY(mu_);
};

}  // namespace ferrowick
