// The vocabulary of the pool's control groups and the small file work every
// cgroup backend shares: what a session may be limited to, what it used, a
// value written to a control file, and reading or writing such a file
// relative to a group's directory descriptor.
//
// Control files are opened with openat(O_NOFOLLOW) below a descriptor of the
// group's directory, never by a path built from text a tenant could change.
// Writes never create files: a missing control file means the kernel (or its
// configuration) does not offer it, and the caller decides what that means.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"

namespace ferrowick {

// Limits for a session's whole process tree; an absent one is not set.
struct CgroupLimits {
  std::optional<std::uint64_t> memory;       // bytes of all processes; swap off
  std::optional<std::uint64_t> pids;         // processes and threads
  std::optional<std::uint64_t> cpu_percent;  // share of one CPU, 1 to 100 x CPUs

  bool any() const { return memory || pids || cpu_percent; }
};

// What a session's tree used. `source` names the mechanism the figures come
// from: "cgroup2", "cgroup1" or "rusage" (then `peak_memory` is the largest
// single process, a lower bound for the tree's, and `memory`, `pids` are 0).
struct CgroupUsage {
  double cpu_time = 0;  // seconds, user + system, finished processes included
  std::uint64_t peak_memory = 0;
  std::uint64_t memory = 0;
  std::uint64_t pids = 0;
  std::uint64_t oom_kills = 0;
  const char* source = "rusage";
};

// What wait reported for a process: the CPU time of it and of the
// descendants it waited for, and the largest of their resident sets
// (source "rusage").
CgroupUsage usage_of_rusage(const struct rusage& ru);

// What a session's group does in one hierarchy. In a v2 tree one group
// does all of it; on v1 each controller's hierarchy has a group of its own
// (co-mounted controllers share one).
enum CgroupRole : unsigned {
  kRoleKill = 1,       // holds every process, to kill the tree
  kRoleMemory = 2,     // memory limit and figures
  kRolePids = 4,       // process limit and count
  kRoleCpu = 8,        // CPU share
  kRoleCpuTime = 16,   // CPU time used
  kRoleFreezer = 32,   // v1 freezer, to kill a tree without cgroup.kill
};

// One value for one control file of a group, in the order a backend needs.
// `optional` writes are skipped when the file does not exist (a kernel built
// without swap accounting has no memory.swap.max).
struct CgroupWrite {
  const char* file;
  std::string value;
  bool optional = false;
};

// Writes `value` to `file` below the directory `dirfd` in one write(2), as
// the kernel wants it. Returns 0 or the errno (ENOENT: no such control file).
int write_control(int dirfd, const char* file, std::string_view value);

// Applies `writes` in order; on the first failure, the message names the
// file, the value and the system error.
Expected<void, std::string> apply_writes(int dirfd, const std::vector<CgroupWrite>& writes);

// The whole content of `file` below `dirfd` (control files are small), or
// the errno.
Expected<std::string, int> read_control(int dirfd, const char* file);

// The unsigned decimal at the start of `text` (trailing blanks and a line
// feed allowed), or nothing.
std::optional<std::uint64_t> parse_u64(std::string_view text);

// In a "key value" per line file (cpu.stat, memory.events, memory.stat,
// memory.oom_control), the value of `key`, or nothing.
std::optional<std::uint64_t> keyed_value(std::string_view text, std::string_view key);

// A read of one number from a file: nothing when the file is missing or
// does not hold a number.
std::optional<std::uint64_t> read_u64(int dirfd, const char* file);
std::optional<std::uint64_t> read_keyed(int dirfd, const char* file, std::string_view key);

// Where one cgroup version keeps the usage figures.
struct UsageFiles {
  const char* cpu_file;
  const char* cpu_key;  // nullptr: the file holds the number alone
  double cpu_unit;      // seconds per counted unit
  const char* memory;
  const char* peak;
  const char* oom_file;  // its "oom_kill" line counts the kernel's kills
  const char* source;
};

// Fills in `usage` what a group doing `roles` reports through `files`; a
// figure the kernel does not offer stays as it was.
void read_usage_files(int dirfd, unsigned roles, const UsageFiles& files, CgroupUsage& usage);

// The process ids listed in a cgroup.procs text, one per line.
std::vector<int> parse_pids(std::string_view text);

}  // namespace ferrowick
