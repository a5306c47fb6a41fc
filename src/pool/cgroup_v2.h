// The unified (cgroup2) tree: what a session's group writes and reads there.
//
// Limits: memory.max with memory.swap.max = 0 (no swap for the tree),
// pids.max, cpu.max. Figures: cpu.stat (present even without the cpu
// controller), memory.current, memory.peak, memory.events, pids.current.
// cgroup.kill ends every process of a group at once (Linux 5.14 and later),
// and cgroup.events says when the last one is gone.
#pragma once

#include <optional>
#include <vector>

#include "pool/cgroup_io.h"

namespace ferrowick::cgroup_v2 {

// The period of cpu.max, in microseconds: the kernel's default.
inline constexpr std::uint64_t kCpuPeriodUs = 100000;

// The writes that set `limits` in a group doing `roles`, in order.
std::vector<CgroupWrite> limit_writes(const CgroupLimits& limits, unsigned roles);

// Fills in `usage` what a group doing `roles` reports; a figure the kernel
// does not offer (memory.peak before Linux 5.19) stays as it was.
void read_usage(int dirfd, unsigned roles, CgroupUsage& usage);

// Ends every process of the group (cgroup.kill). Returns 0 or the errno.
int kill_all(int dirfd);

// Whether the group or a descendant still holds a process (cgroup.events);
// nothing when that cannot be read.
std::optional<bool> populated(int dirfd);

// The controllers of `wanted` ("memory", "pids", "cpu") that a group's
// children can use: those in its cgroup.subtree_control.
std::vector<std::string> enabled_controllers(int dirfd);

// Enables `controller` for the group's children. Returns 0 or the errno
// (EBUSY: the group holds processes itself, so it cannot hand out
// controllers: the no-internal-processes rule).
int enable_controller(int dirfd, std::string_view controller);

}  // namespace ferrowick::cgroup_v2
