#include "pool/cgroup_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "pool/cgroup_io.h"
#include "pool/cgroup_v2.h"
#include "common/system_error.h"
#include "common/unique_fd.h"

namespace ferrowick {

const char* cgroup_mech_name(CgroupMech mech) {
  switch (mech) {
    case CgroupMech::kV1: return "cgroup1";
    case CgroupMech::kV2: return "cgroup2";
    case CgroupMech::kNone: break;
  }
  return nullptr;
}

CgroupDirOps kernel_dir_ops() {
  return {[](int parent, const char* name, const std::string&) { return ::mkdirat(parent, name, 0755) == 0 ? 0 : errno; },
          [](int parent, const char* name, const std::string&) {
            return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 ? 0 : errno;
          }};
}

namespace {

UniqueFd open_dir_at(int parent, const char* path) {
  int fd;
  do fd = ::openat(parent, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

bool has_file(int dirfd, const char* name) { return ::faccessat(dirfd, name, F_OK, AT_SYMLINK_NOFOLLOW) == 0; }

bool has_word(std::string_view text, std::string_view word) {
  while (!text.empty()) {
    std::size_t end = text.find_first_of(" \n");
    if (text.substr(0, end) == word) return true;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return false;
}

// Makes a probe group below `dir`, hands its descriptor to `look`, removes
// it. Returns "" or why no group can be made there.
template <class Look>
std::string probe(const CgroupHost& host, const std::string& dir, const std::string& name, Look look) {
  UniqueFd own = open_dir_at(AT_FDCWD, dir.c_str());
  if (!own.valid()) return "cannot open " + dir + ": " + system_error_text(errno);
  std::string path = dir + "/" + name;
  if (int err = host.ops.make(own.get(), name.c_str(), path)) return "cannot make a group in " + dir + ": " + system_error_text(err);
  UniqueFd group = open_dir_at(own.get(), name.c_str());
  if (group.valid()) look(group.get());
  group.reset();
  host.ops.remove(own.get(), name.c_str(), path);
  return "";
}

// On v2, enables memory, pids and cpu for the children of the pool's own
// group where the tree offers them; returns the reason per controller that
// stays unavailable ("" when enabled).
void enable_v2_controllers(CgroupHost& host, std::string reasons[3]) {
  static constexpr const char* kNames[3] = {"memory", "pids", "cpu"};
  const std::string& dir = host.layout.unified;
  UniqueFd own = open_dir_at(AT_FDCWD, dir.c_str());
  auto offered = own.valid() ? read_control(own.get(), "cgroup.controllers") : Unexpected(errno);
  for (int i = 0; i < 3; ++i) {
    if (!offered || !has_word(*offered, kNames[i])) {
      reasons[i] = std::string("the cgroup2 tree does not offer the ") + kNames[i] + " controller to " + dir;
      continue;
    }
    auto enabled = cgroup_v2::enabled_controllers(own.get());
    if (std::find(enabled.begin(), enabled.end(), kNames[i]) != enabled.end()) continue;
    int err = cgroup_v2::enable_controller(own.get(), kNames[i]);
    if (err == EBUSY) {
      // Processes in the group itself: move the pool into a leaf of its own
      // when it is alone there, so the group may hand out controllers.
      auto procs = read_control(own.get(), "cgroup.procs");
      std::vector<int> pids = procs ? parse_pids(*procs) : std::vector<int>{};
      if (pids.size() == 1 && pids[0] == ::getpid()) {
        std::string leaf = "ferrowick-" + std::to_string(::getpid()) + "-host";
        if (host.ops.make(own.get(), leaf.c_str(), dir + "/" + leaf) == 0) {
          UniqueFd leaf_fd = open_dir_at(own.get(), leaf.c_str());
          if (leaf_fd.valid() && write_control(leaf_fd.get(), "cgroup.procs", "0") == 0)
            err = cgroup_v2::enable_controller(own.get(), kNames[i]);
        }
      }
    }
    if (err == EBUSY)
      reasons[i] = std::string("delegation is needed: ") + dir + " holds other processes, so its children cannot have the " +
                   kNames[i] + " controller";
    else if (err != 0)
      reasons[i] = std::string("cannot enable the ") + kNames[i] + " controller in " + dir + ": " + system_error_text(err);
  }
}

std::string join_reasons(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + "; " + b;
}

}  // namespace

CgroupHost detect_cgroup_host(const CgroupLayout& layout, CgroupDirOps ops, const std::string& probe_name) {
  CgroupHost host;
  host.layout = layout;
  host.ops = std::move(ops);
  std::string v2_why[3];  // memory, pids, cpu
  std::string v1_why[3];
  unsigned v2_roles = 0;
  bool v2_kill = false;

  if (layout.unified.empty()) {
    for (auto& w : v2_why) w = "no cgroup2 tree is mounted";
  } else {
    enable_v2_controllers(host, v2_why);
    std::string why = probe(host, layout.unified, probe_name, [&](int g) {
      host.v2_usable = true;
      host.v2_cpu_stat = has_file(g, "cpu.stat");
      v2_kill = has_file(g, "cgroup.kill");
      if (has_file(g, "memory.max")) v2_roles |= kRoleMemory;
      if (has_file(g, "pids.max")) v2_roles |= kRolePids;
      if (has_file(g, "cpu.max")) v2_roles |= kRoleCpu;
    });
    if (!why.empty())
      for (auto& w : v2_why) w = why;
  }

  struct V1 {
    const std::string* dir;
    unsigned role;
    const char* file;
    int why;  // index into v1_why, or -1
  };
  const V1 v1s[] = {{&layout.memory, kRoleMemory, "memory.limit_in_bytes", 0},
                    {&layout.pids, kRolePids, "pids.max", 1},
                    {&layout.cpu, kRoleCpu, "cpu.cfs_quota_us", 2},
                    {&layout.cpuacct, kRoleCpuTime, "cpuacct.usage", -1},
                    {&layout.freezer, kRoleFreezer, "freezer.state", -1}};
  for (const V1& v : v1s) {
    std::string why = v.dir->empty() ? "no cgroup1 hierarchy has it" : probe(host, *v.dir, probe_name, [&](int g) {
      if (has_file(g, v.file)) host.v1_roles |= v.role;
      if (v.role == kRoleMemory) host.v1_memsw = has_file(g, "memory.memsw.limit_in_bytes");
    });
    if (v.why >= 0) v1_why[v.why] = why;
  }

  CgroupOffer* offers[3] = {&host.memory, &host.pids, &host.cpu};
  const unsigned roles[3] = {kRoleMemory, kRolePids, kRoleCpu};
  for (int i = 0; i < 3; ++i) {
    if (v2_roles & roles[i])
      offers[i]->mech = CgroupMech::kV2;
    else if (host.v1_roles & roles[i])
      offers[i]->mech = CgroupMech::kV1;
    else
      offers[i]->reason = join_reasons(v2_why[i], v1_why[i]);
  }
  host.usage = host.memory;
  if (v2_kill)
    host.tree_kill.mech = CgroupMech::kV2;
  else if (host.v1_roles & kRoleFreezer)
    host.tree_kill.mech = CgroupMech::kV1;
  else
    host.tree_kill.reason = "neither cgroup.kill nor a cgroup1 freezer is available";
  return host;
}

const CgroupHost& cgroup_host() {
  static const CgroupHost host = detect_cgroup_host(read_cgroup_layout(), kernel_dir_ops(),
                                                    "ferrowick-" + std::to_string(::getpid()) + "-probe");
  return host;
}

}  // namespace ferrowick
