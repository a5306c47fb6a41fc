// A fake cgroup host for tests: hierarchies as directories in a temporary
// directory, whose CgroupDirOps hooks fill each new group with the control
// files the kernel would make for that hierarchy.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "pool/cgroup_host.h"
#include "pool/cgroup_layout.h"
#include "pool_test_support.h"

namespace ferrowick::testing_support {

namespace fs = std::filesystem;

inline void put(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }
inline std::string get(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The files the kernel puts in a new group of each hierarchy, with their
// initial content.
inline const std::map<std::string, std::map<std::string, std::string>> kKernelFiles = {
    {"unified", {{"cgroup.procs", ""}, {"cgroup.kill", ""}, {"cgroup.events", "populated 0\nfrozen 0\n"},
                 {"cpu.stat", "usage_usec 0\n"}}},
    {"v2full", {{"cgroup.procs", ""}, {"cgroup.kill", ""}, {"cgroup.events", "populated 0\nfrozen 0\n"},
                {"cpu.stat", "usage_usec 0\n"}, {"memory.max", "max\n"}, {"memory.swap.max", "max\n"},
                {"memory.current", "0\n"}, {"memory.peak", "0\n"}, {"memory.events", "oom 0\noom_kill 0\n"},
                {"pids.max", "max\n"}, {"pids.current", "0\n"}, {"cpu.max", "max 100000\n"}}},
    {"memory", {{"cgroup.procs", ""}, {"memory.limit_in_bytes", "9223372036854771712\n"},
                {"memory.memsw.limit_in_bytes", "9223372036854771712\n"}, {"memory.usage_in_bytes", "0\n"},
                {"memory.max_usage_in_bytes", "0\n"}, {"memory.oom_control", "oom_kill_disable 0\nunder_oom 0\noom_kill 0\n"}}},
    {"pids", {{"cgroup.procs", ""}, {"pids.max", "max\n"}, {"pids.current", "0\n"}}},
    {"cpu", {{"cgroup.procs", ""}, {"cpu.cfs_period_us", "100000\n"}, {"cpu.cfs_quota_us", "-1\n"}}},
    {"cpuacct", {{"cgroup.procs", ""}, {"cpuacct.usage", "0\n"}}},
    {"freezer", {{"cgroup.procs", ""}, {"freezer.state", "THAWED\n"}}},
};

// A temporary host whose hierarchies are directories named after their kind
// ("unified", "v2full", "memory", ...), each with the pool's own group at
// own/ below it.
class FakeHost {
 public:
  explicit FakeHost(std::vector<std::string> kinds) {
    for (const std::string& k : kinds) {
      fs::create_directories(dir(k));
      own_[k] = dir(k);
    }
    if (own_.count("v2full")) {
      put(dir("v2full") + "/cgroup.controllers", "cpuset cpu io memory pids\n");
      put(dir("v2full") + "/cgroup.subtree_control", "");
    }
  }
  std::string dir(const std::string& kind) const { return tmp_.path() + "/" + kind + "/own"; }

  CgroupLayout layout() const {
    auto own = [&](const char* k) { return own_.count(k) ? own_.at(k) : std::string(); };
    CgroupLayout l;
    l.unified = own_.count("v2full") ? own("v2full") : own("unified");
    l.memory = own("memory");
    l.pids = own("pids");
    l.cpu = own("cpu");
    l.cpuacct = own("cpuacct");
    l.freezer = own("freezer");
    return l;
  }

  CgroupDirOps ops() const {
    std::string root = tmp_.path();
    return {[root, this](int parent, const char* name, const std::string& path) {
              if (::mkdirat(parent, name, 0755) != 0) return errno;
              std::string kind = path.substr(root.size() + 1, path.find('/', root.size() + 1) - root.size() - 1);
              for (auto& [file, text] : kKernelFiles.at(kind)) {
                if (file == broken_file_) {
                  fs::create_directory(path + "/" + file);
                } else {
                  put(path + "/" + file, text);
                }
              }
              return 0;
            },
            [](int, const char*, const std::string& path) {
              if (!get(path + "/cgroup.procs").empty()) return EBUSY;
              std::error_code ec;
              return fs::remove_all(path, ec) > 0 ? 0 : ENOENT;
            }};
  }

  CgroupHost detect() const { return detect_cgroup_host(layout(), ops(), "ferrowick-1-probe"); }
  // Makes `file` a directory in every new group, so writing it fails.
  void break_file(std::string file) { broken_file_ = std::move(file); }
  // Names of the entries below the own group of `kind`.
  std::vector<std::string> children(const std::string& kind) const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir(kind)))
      if (e.is_directory()) out.push_back(e.path().filename());
    return out;
  }

 private:
  TempDir tmp_;
  std::map<std::string, std::string> own_;
  std::string broken_file_;
};

}  // namespace ferrowick::testing_support
