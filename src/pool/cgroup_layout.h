// Where this process sits in the host's control-group hierarchies, read
// from /proc/self/mountinfo (which hierarchies are mounted where) and
// /proc/self/cgroup (this process's group in each).
//
// A host has a unified (cgroup2) tree, v1 hierarchies with one or more
// controllers each, or both (hybrid). Only the controllers the pool uses are
// looked for. A hierarchy mounted from a subtree (a container's view) is
// used only when this process's group lies inside what is mounted.
#pragma once

#include <string>
#include <string_view>

namespace ferrowick {

struct CgroupLayout {
  // This process's own group in each hierarchy, as a directory path; empty
  // when the hierarchy is not mounted or the group lies outside the mount.
  std::string unified;
  std::string memory, pids, cpu, cpuacct, freezer;
};

// Reads the two texts (in the kernel's formats) into a layout.
CgroupLayout parse_cgroup_layout(std::string_view mountinfo, std::string_view proc_cgroup);

// The layout of this process, from the files of /proc/self.
CgroupLayout read_cgroup_layout();

// A mountinfo path field with its octal escapes ("\040" for a blank) undone.
std::string unescape_mount_path(std::string_view field);

}  // namespace ferrowick
