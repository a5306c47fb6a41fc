#include "pool/cgroup_v2.h"

#include <string_view>

namespace ferrowick::cgroup_v2 {

std::vector<CgroupWrite> limit_writes(const CgroupLimits& limits, unsigned roles) {
  std::vector<CgroupWrite> out;
  if ((roles & kRoleMemory) && limits.memory) {
    // Swap off first: with it, the memory ceiling could be dodged by paging
    // out, and a kernel without swap accounting has no such file.
    out.push_back({"memory.swap.max", "0", true});
    out.push_back({"memory.max", std::to_string(*limits.memory)});
  }
  if ((roles & kRolePids) && limits.pids) out.push_back({"pids.max", std::to_string(*limits.pids)});
  if ((roles & kRoleCpu) && limits.cpu_percent)
    out.push_back({"cpu.max", std::to_string(*limits.cpu_percent * kCpuPeriodUs / 100) + " " +
                                  std::to_string(kCpuPeriodUs)});
  return out;
}

void read_usage(int dirfd, unsigned roles, CgroupUsage& usage) {
  static constexpr UsageFiles kFiles{"cpu.stat", "usage_usec", 1e-6, "memory.current",
                                     "memory.peak", "memory.events", "cgroup2"};
  read_usage_files(dirfd, roles, kFiles, usage);
}

int kill_all(int dirfd) { return write_control(dirfd, "cgroup.kill", "1"); }

std::optional<bool> populated(int dirfd) {
  auto v = read_keyed(dirfd, "cgroup.events", "populated");
  if (!v) return std::nullopt;
  return *v != 0;
}

std::vector<std::string> enabled_controllers(int dirfd) {
  std::vector<std::string> out;
  auto text = read_control(dirfd, "cgroup.subtree_control");
  if (!text) return out;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = rest.find_first_of(" \n");
    if (end != 0) out.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return out;
}

int enable_controller(int dirfd, std::string_view controller) {
  return write_control(dirfd, "cgroup.subtree_control", "+" + std::string(controller));
}

}  // namespace ferrowick::cgroup_v2
