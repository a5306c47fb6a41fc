#include "pool/cgroup_v1.h"

#include <signal.h>

#include <cerrno>
#include <thread>

namespace ferrowick::cgroup_v1 {

std::vector<CgroupWrite> limit_writes(const CgroupLimits& limits, unsigned roles, bool memsw) {
  std::vector<CgroupWrite> out;
  if ((roles & kRoleMemory) && limits.memory) {
    // The kernel keeps memsw >= limit: a new group has both unlimited, so
    // the memory limit goes first and memory plus swap follows at the same
    // value.
    std::string bytes = std::to_string(*limits.memory);
    out.push_back({"memory.limit_in_bytes", bytes});
    if (memsw) out.push_back({"memory.memsw.limit_in_bytes", bytes});
  }
  if ((roles & kRolePids) && limits.pids) out.push_back({"pids.max", std::to_string(*limits.pids)});
  if ((roles & kRoleCpu) && limits.cpu_percent) {
    out.push_back({"cpu.cfs_period_us", std::to_string(kCpuPeriodUs)});
    out.push_back({"cpu.cfs_quota_us", std::to_string(*limits.cpu_percent * kCpuPeriodUs / 100)});
  }
  return out;
}

void read_usage(int dirfd, unsigned roles, CgroupUsage& usage) {
  static constexpr UsageFiles kFiles{"cpuacct.usage", nullptr, 1e-9, "memory.usage_in_bytes",
                                     "memory.max_usage_in_bytes", "memory.oom_control", "cgroup1"};
  read_usage_files(dirfd, roles, kFiles, usage);
}

namespace {

constexpr std::chrono::microseconds kPollStep{500};

// Freezes the group and waits until the kernel says every member stopped.
int freeze(int dirfd, WaitClock::time_point deadline) {
  if (int err = write_control(dirfd, "freezer.state", "FROZEN")) return err;
  for (;;) {
    auto state = read_control(dirfd, "freezer.state");
    if (!state) return state.error();
    if (state->rfind("FROZEN", 0) == 0) return 0;
    if (WaitClock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace

int kill_all(int dirfd, bool freezer, WaitClock::time_point deadline) {
  for (;;) {
    if (freezer)
      if (int err = freeze(dirfd, deadline)) {
        write_control(dirfd, "freezer.state", "THAWED");
        return err;
      }
    auto procs = read_control(dirfd, "cgroup.procs");
    std::vector<int> pids = procs ? parse_pids(*procs) : std::vector<int>{};
    for (int pid : pids) ::kill(pid, SIGKILL);
    if (freezer)
      if (int err = write_control(dirfd, "freezer.state", "THAWED")) return err;
    if (!procs) return procs.error();
    if (pids.empty()) return 0;
    if (WaitClock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace ferrowick::cgroup_v1
