#include "pool/cgroup_layout.h"

#include <fstream>
#include <iterator>
#include <vector>

namespace ferrowick {

namespace {

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    std::size_t at = text.find(sep);
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    text.remove_prefix(at + 1);
  }
}

template <class Fn>
void for_each_line(std::string_view text, Fn fn) {
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    fn(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
  }
}

bool has_item(std::string_view list, std::string_view item) {
  for (std::string_view x : split(list, ','))
    if (x == item) return true;
  return false;
}

// The directory of `group` (a path from /proc/self/cgroup) in a hierarchy
// mounted at `mount_point` from its subtree `root`; empty when the group is
// outside the mounted subtree.
std::string group_dir(std::string_view mount_point, std::string_view root, std::string_view group) {
  if (root != "/") {
    if (group.substr(0, root.size()) != root) return "";
    group.remove_prefix(root.size());
    if (!group.empty() && group[0] != '/') return "";
  }
  std::string dir(mount_point);
  while (!group.empty() && group.back() == '/') group.remove_suffix(1);
  if (!group.empty() && group[0] != '/') dir += '/';
  dir += group;
  return dir;
}

std::string read_file(const char* path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string unescape_mount_path(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      std::string_view d = field.substr(i + 1, 3);
      if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' && d[2] <= '7') {
        out += static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

CgroupLayout parse_cgroup_layout(std::string_view mountinfo, std::string_view proc_cgroup) {
  // Group of each hierarchy: "0::/path" for the unified tree, "N:ctl,ctl:/path" for v1.
  std::string unified_group;
  bool has_unified_group = false;
  std::vector<std::pair<std::string_view, std::string_view>> v1_groups;  // (controllers, path)
  for_each_line(proc_cgroup, [&](std::string_view line) {
    std::size_t a = line.find(':');
    std::size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
    if (b == std::string_view::npos) return;
    std::string_view ctls = line.substr(a + 1, b - a - 1);
    std::string_view path = line.substr(b + 1);
    if (line.substr(0, a) == "0" && ctls.empty()) {
      unified_group = path;
      has_unified_group = true;
    } else {
      v1_groups.emplace_back(ctls, path);
    }
  });

  CgroupLayout layout;
  std::pair<const char*, std::string*> wanted[] = {{"memory", &layout.memory}, {"pids", &layout.pids},
                                                   {"cpu", &layout.cpu},       {"cpuacct", &layout.cpuacct},
                                                   {"freezer", &layout.freezer}};
  for_each_line(mountinfo, [&](std::string_view line) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) return;
    std::vector<std::string_view> head = split(line.substr(0, dash), ' ');
    std::vector<std::string_view> tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) return;
    std::string root = unescape_mount_path(head[3]);
    std::string mount_point = unescape_mount_path(head[4]);
    if (tail[0] == "cgroup2") {
      if (has_unified_group && layout.unified.empty()) layout.unified = group_dir(mount_point, root, unified_group);
      return;
    }
    if (tail[0] != "cgroup") return;
    for (auto& [name, dir] : wanted) {
      if (!dir->empty() || !has_item(tail[2], name)) continue;
      for (auto& [ctls, path] : v1_groups)
        if (has_item(ctls, name)) *dir = group_dir(mount_point, root, path);
    }
  });
  return layout;
}

CgroupLayout read_cgroup_layout() {
  return parse_cgroup_layout(read_file("/proc/self/mountinfo"), read_file("/proc/self/cgroup"));
}

}  // namespace ferrowick
