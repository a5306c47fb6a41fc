// The v1 hierarchies: what a session's group writes and reads in the
// memory, pids, cpu, cpuacct and freezer controllers' trees.
//
// Limits: memory.limit_in_bytes, then memory.memsw.limit_in_bytes (memory
// plus swap, where swap accounting is on) to the same value so the tree
// cannot swap; pids.max; cpu.cfs_period_us and cpu.cfs_quota_us. Figures:
// cpuacct.usage (nanoseconds), memory.usage_in_bytes,
// memory.max_usage_in_bytes, the oom_kill count of memory.oom_control,
// pids.current. Without cgroup.kill, a tree is killed by freezing it,
// sending SIGKILL to every member and thawing it, until it is empty: frozen
// processes can neither fork nor exit, so no pid read from the frozen group
// can have been handed to another process before the signal lands.
#pragma once

#include <vector>

#include "pool/cgroup_io.h"
#include "pool/fd_wait.h"

namespace ferrowick::cgroup_v1 {

inline constexpr std::uint64_t kCpuPeriodUs = 100000;

// The writes that set `limits` in a group doing `roles`, in order. `memsw`:
// the memory group offers memory.memsw.limit_in_bytes.
std::vector<CgroupWrite> limit_writes(const CgroupLimits& limits, unsigned roles, bool memsw);

// Fills in `usage` what a group doing `roles` reports.
void read_usage(int dirfd, unsigned roles, CgroupUsage& usage);

// Kills every process of the group until cgroup.procs is empty or
// `deadline` passes, freezing the group around each round when `freezer`
// (the group is then a freezer group). Returns 0, ETIMEDOUT, or the errno
// of a failed control-file access.
int kill_all(int dirfd, bool freezer, WaitClock::time_point deadline);

}  // namespace ferrowick::cgroup_v1
