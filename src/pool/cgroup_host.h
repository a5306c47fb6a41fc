// What this host's control groups offer the pool, found once: for each
// thing the pool wants (a memory limit, a process limit, a CPU share, usage
// figures, killing a whole tree) the mechanism that provides it, or why
// none does.
//
// Detection tries, in each hierarchy, to make a group below this process's
// own and looks at the control files the kernel put in it: a mounted but
// read-only tree, or one whose files belong to someone else, offers nothing.
// On a v2 tree the controllers must be enabled in the pool's own group for
// its children; where that group holds other processes the kernel refuses
// (no internal processes), and the pool then moves itself into a leaf of
// its own when it is the group's only process, else reports that the tree
// must be delegated.
#pragma once

#include <functional>
#include <string>

#include "pool/cgroup_layout.h"

namespace ferrowick {

enum class CgroupMech { kNone, kV1, kV2 };

// "cgroup1", "cgroup2", or nullptr for kNone.
const char* cgroup_mech_name(CgroupMech mech);

// Making and removing a group directory. The kernel fills a new group with
// its control files; a test's fake tree does the same in these hooks.
// Each returns 0 or the errno.
struct CgroupDirOps {
  std::function<int(int parent_fd, const char* name, const std::string& dir)> make;
  std::function<int(int parent_fd, const char* name, const std::string& dir)> remove;
};
CgroupDirOps kernel_dir_ops();

// One capability: its mechanism and, without one, the reason.
struct CgroupOffer {
  CgroupMech mech = CgroupMech::kNone;
  std::string reason;
};

struct CgroupHost {
  CgroupLayout layout;
  CgroupDirOps ops;
  CgroupOffer memory, pids, cpu, usage, tree_kill;
  bool v2_usable = false;   // a group can be made in the unified tree
  bool v2_cpu_stat = false; // its groups report cpu.stat
  bool v1_memsw = false;    // memory.memsw.limit_in_bytes exists
  // v1 hierarchies where a group can be made (kRole* bits of memory, pids,
  // cpu, cpu time, freezer).
  unsigned v1_roles = 0;
};

// Finds what `layout`'s hierarchies offer, making (and removing) a probe
// group named `probe_name` in each.
CgroupHost detect_cgroup_host(const CgroupLayout& layout, CgroupDirOps ops, const std::string& probe_name);

// This host, detected at the first call (thread-safe).
const CgroupHost& cgroup_host();

}  // namespace ferrowick
