// The cgroup layer against fake hierarchies in a temporary directory: the
// kernel's file formats, the order of writes, capabilities per host kind,
// error paths and the purge. The hooks of CgroupDirOps fill each new group
// with the control files the kernel would make for that hierarchy.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "pool/cgroup_host.h"
#include "pool/cgroup_layout.h"
#include "pool/cgroup_v1.h"
#include "pool/cgroup_v2.h"
#include "pool/session_group.h"
#include "pool_cgroup_fake_host.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeHost;
using testing_support::get;
using testing_support::put;

// ---- parsing ----

TEST(CgroupLayoutTest, FindsOwnGroupInEachKindOfHost) {
  struct Case {
    const char* name;
    const char* mountinfo;
    const char* proc_cgroup;
    CgroupLayout want;
  };
  const Case cases[] = {
      {"hybrid",
       "32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
       "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
       "39 31 0:36 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n"
       "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n",
       "8:pids:/\n4:memory:/api/36822730\n1:cpu:/\n0::/\n",
       {"/sys/fs/cgroup/unified", "/sys/fs/cgroup/memory/api/36822730", "/sys/fs/cgroup/pids", "/sys/fs/cgroup/cpu",
        "", ""}},
      {"pure v2 with optional fields",
       "25 20 0:22 / /sys/fs/cgroup rw shared:4 - cgroup2 cgroup2 rw,nsdelegate\n", "0::/user.slice/a.scope\n",
       {"/sys/fs/cgroup/user.slice/a.scope", "", "", "", "", ""}},
      {"co-mounted cpu,cpuacct and freezer",
       "30 20 0:30 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
       "31 20 0:31 / /sys/fs/cgroup/freezer rw - cgroup cgroup rw,freezer\n",
       "3:cpu,cpuacct:/a\n2:freezer:/a/b/\n",
       {"", "", "", "/sys/fs/cgroup/cpu,cpuacct/a", "/sys/fs/cgroup/cpu,cpuacct/a", "/sys/fs/cgroup/freezer/a/b"}},
      {"container view: subtree mounted, one group outside it",
       "40 30 0:40 /docker/c1 /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
       "41 30 0:41 /docker/c1 /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n",
       "5:memory:/docker/c1/x\n6:pids:/docker/c10\n",
       {"", "/sys/fs/cgroup/memory/x", "", "", "", ""}},
      {"escaped mount point, name=systemd and non-cgroup mounts ignored",
       "22 1 8:1 / / rw - ext4 /dev/sda rw\n"
       "40 31 0:37 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,name=systemd\n"
       "41 31 0:38 / /my\\040cg rw - cgroup2 cgroup2 rw\n",
       "9:name=systemd:/\n0::/p\n", {"/my cg/p", "", "", "", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CgroupLayout got = parse_cgroup_layout(c.mountinfo, c.proc_cgroup);
    EXPECT_EQ(got.unified, c.want.unified);
    EXPECT_EQ(got.memory, c.want.memory);
    EXPECT_EQ(got.pids, c.want.pids);
    EXPECT_EQ(got.cpu, c.want.cpu);
    EXPECT_EQ(got.cpuacct, c.want.cpuacct);
    EXPECT_EQ(got.freezer, c.want.freezer);
  }
}

TEST(CgroupIoTest, ReadsTheKernelsFormats) {
  const char* cpu_stat = "usage_usec 2000123\nuser_usec 1500000\nsystem_usec 500123\n";
  EXPECT_EQ(keyed_value(cpu_stat, "usage_usec"), 2000123u);
  EXPECT_EQ(keyed_value(cpu_stat, "system_usec"), 500123u);
  EXPECT_EQ(keyed_value(cpu_stat, "usage"), std::nullopt);  // a prefix of a key is not the key
  EXPECT_EQ(keyed_value("oom_kill_disable 0\nunder_oom 0\noom_kill 3\n", "oom_kill"), 3u);
  EXPECT_EQ(parse_u64("268435456\n"), 268435456u);
  EXPECT_EQ(parse_u64("max\n"), std::nullopt);
  EXPECT_EQ(parse_u64(""), std::nullopt);
  EXPECT_EQ(parse_pids("12\n345\n\nx\n7"), (std::vector<int>{12, 345, 7}));
}

// ---- what each backend writes, in order ----

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<CgroupWrite>& writes) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const CgroupWrite& w : writes) out.emplace_back(w.file, w.value);
  return out;
}

TEST(CgroupBackendTest, WritesLimitsInTheOrderTheKernelNeeds) {
  CgroupLimits all{256u << 20, 50, 150};
  using P = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(pairs(cgroup_v1::limit_writes(all, kRoleMemory, true)),
            (P{{"memory.limit_in_bytes", "268435456"}, {"memory.memsw.limit_in_bytes", "268435456"}}));
  EXPECT_EQ(pairs(cgroup_v1::limit_writes(all, kRoleMemory, false)), (P{{"memory.limit_in_bytes", "268435456"}}));
  EXPECT_EQ(pairs(cgroup_v1::limit_writes(all, kRoleCpu | kRolePids, false)),
            (P{{"pids.max", "50"}, {"cpu.cfs_period_us", "100000"}, {"cpu.cfs_quota_us", "150000"}}));
  EXPECT_EQ(pairs(cgroup_v2::limit_writes(all, kRoleMemory | kRolePids | kRoleCpu)),
            (P{{"memory.swap.max", "0"}, {"memory.max", "268435456"}, {"pids.max", "50"}, {"cpu.max", "150000 100000"}}));
  EXPECT_TRUE(cgroup_v2::limit_writes(all, kRoleMemory)[0].optional);  // no swap accounting: no such file
  EXPECT_TRUE(cgroup_v2::limit_writes(CgroupLimits{}, kRoleMemory | kRolePids | kRoleCpu).empty());
  EXPECT_TRUE(cgroup_v1::limit_writes(all, kRoleKill | kRoleFreezer | kRoleCpuTime, true).empty());
}

TEST(CgroupHostTest, OffersEachCapabilityByTheHostsMechanism) {
  struct Case {
    const char* name;
    std::vector<std::string> kinds;
    const char *memory, *pids, *cpu, *tree_kill;
  };
  const Case cases[] = {
      {"pure v2", {"v2full"}, "cgroup2", "cgroup2", "cgroup2", "cgroup2"},
      {"hybrid", {"unified", "memory", "pids", "cpu", "cpuacct", "freezer"}, "cgroup1", "cgroup1", "cgroup1", "cgroup2"},
      {"v1 only", {"memory", "pids", "freezer"}, "cgroup1", "cgroup1", nullptr, "cgroup1"},
      {"nothing mounted", {}, nullptr, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost fake(c.kinds);
    CgroupHost host = fake.detect();
    auto name = [](const CgroupOffer& o) { return std::string(cgroup_mech_name(o.mech) ? cgroup_mech_name(o.mech) : "-"); };
    auto want = [](const char* s) { return std::string(s ? s : "-"); };
    EXPECT_EQ(name(host.memory), want(c.memory));
    EXPECT_EQ(name(host.pids), want(c.pids));
    EXPECT_EQ(name(host.cpu), want(c.cpu));
    EXPECT_EQ(name(host.usage), want(c.memory));
    EXPECT_EQ(name(host.tree_kill), want(c.tree_kill));
    EXPECT_EQ(host.cpu.reason.empty(), c.cpu != nullptr);
    for (const std::string& k : c.kinds) EXPECT_TRUE(fake.children(k).empty()) << k << ": probe left behind";
  }
}

TEST(CgroupHostTest, EnablesV2ControllersForThePoolsChildren) {
  FakeHost fake({"v2full"});
  fake.detect();
  // Each controller is enabled by its own write; the fake keeps the last.
  EXPECT_EQ(get(fake.dir("v2full") + "/cgroup.subtree_control"), "+cpu");
}

TEST(SessionGroupTest, LimitsReportsAndRemovesOnEachKindOfHost) {
  struct Case {
    const char* name;
    std::vector<std::string> kinds;
    std::vector<std::pair<std::string, std::string>> want_files;  // kind/file -> content
    const char* source;
  };
  const Case cases[] = {
      {"pure v2",
       {"v2full"},
       {{"v2full/memory.max", "67108864"}, {"v2full/memory.swap.max", "0"}, {"v2full/pids.max", "20"},
        {"v2full/cpu.max", "50000 100000"}},
       "cgroup2"},
      {"hybrid",
       {"unified", "memory", "pids", "cpu", "cpuacct", "freezer"},
       {{"memory/memory.limit_in_bytes", "67108864"}, {"memory/memory.memsw.limit_in_bytes", "67108864"},
        {"pids/pids.max", "20"}, {"cpu/cpu.cfs_quota_us", "50000"}},
       "cgroup1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost fake(c.kinds);
    CgroupHost host = fake.detect();
    auto group = SessionGroup::create(host, CgroupLimits{64u << 20, 20, 50});
    ASSERT_TRUE(group) << group.error().message;
    const std::string name = (*group)->name();
    for (auto& [file, content] : c.want_files) {
      std::string kind = file.substr(0, file.find('/'));
      EXPECT_EQ(get(fake.dir(kind) + "/" + name + file.substr(kind.size())), content) << file;
    }
    // The kernel's figures, as it would write them.
    bool v2 = c.kinds[0] == "v2full";
    std::string mem = fake.dir(v2 ? "v2full" : "memory") + "/" + name;
    std::string cpu = fake.dir(v2 ? "v2full" : "unified") + "/" + name;
    put(cpu + "/cpu.stat", "usage_usec 2500000\nuser_usec 2000000\nsystem_usec 500000\n");
    put(mem + (v2 ? "/memory.peak" : "/memory.max_usage_in_bytes"), "314572800\n");
    put(mem + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), "1048576\n");
    put(mem + (v2 ? "/memory.events" : "/memory.oom_control"), v2 ? "oom 2\noom_kill 2\n" : "under_oom 0\noom_kill 2\n");
    put(fake.dir(v2 ? "v2full" : "pids") + "/" + name + "/pids.current", "3\n");
    EXPECT_EQ((*group)->join_fds().size(), v2 ? 1u : 4u);  // hybrid: unified, memory, pids, cpu (for its limit)
    (*group)->finish();
    for (const std::string& k : c.kinds) EXPECT_TRUE(fake.children(k).empty()) << k;
    CgroupUsage u = (*group)->usage();  // kept from before the removal
    EXPECT_DOUBLE_EQ(u.cpu_time, 2.5);
    EXPECT_EQ(u.peak_memory, 314572800u);
    EXPECT_EQ(u.memory, 1048576u);
    EXPECT_EQ(u.oom_kills, 2u);
    EXPECT_EQ(u.pids, 3u);
    EXPECT_STREQ(u.source, c.source);
  }
}

TEST(SessionGroupTest, RefusesWhatItCannotDoAndLeavesNothingBehind) {
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  struct Case {
    const char* name;
    std::vector<std::string> kinds;
    CgroupLimits limits;
    std::string broken_file;
    CgroupError::Kind kind;
    std::string message_part;
  };
  const Case cases[] = {
      {"memory without a memory controller", {"unified", "pids"}, {1u << 30, {}, {}}, "",
       CgroupError::Kind::kUnavailable, "cannot limit \"memory\" on this host: "},
      {"cpu share without a cpu controller", {"unified", "memory"}, {{}, {}, 10}, "",
       CgroupError::Kind::kUnavailable, "cannot limit \"cpu_percent\""},
      {"cpu share of 0", {"v2full"}, {{}, {}, 0}, "", CgroupError::Kind::kInvalid, "between 1 and "},
      {"cpu share above every CPU", {"v2full"}, {{}, {}, static_cast<std::uint64_t>(100 * cpus + 1)}, "",
       CgroupError::Kind::kInvalid, "between 1 and " + std::to_string(100 * cpus)},
      {"a limit the kernel refuses", {"unified", "memory", "pids"}, {{}, 5, {}}, "pids.max",
       CgroupError::Kind::kFailed, "cannot limit the group "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost fake(c.kinds);
    CgroupHost host = fake.detect();
    fake.break_file(c.broken_file);
    auto group = SessionGroup::create(host, c.limits);
    ASSERT_FALSE(group);
    EXPECT_EQ(group.error().kind, c.kind);
    EXPECT_NE(group.error().message.find(c.message_part), std::string::npos) << group.error().message;
    for (const std::string& k : c.kinds) EXPECT_TRUE(fake.children(k).empty()) << k;
  }
}

TEST(SessionGroupTest, WithoutAnyHierarchyItHasNoGroupsAndSaysRusage) {
  FakeHost fake({});
  CgroupHost host = fake.detect();
  auto group = SessionGroup::create(host, CgroupLimits{});
  ASSERT_TRUE(group);
  EXPECT_TRUE((*group)->empty());
  EXPECT_STREQ((*group)->usage().source, "rusage");
}

TEST(SessionGroupTest, PurgeRemovesOnlyGroupsOfPoolsThatAreGone) {
  FakeHost fake({"unified", "memory"});
  CgroupHost host = fake.detect();
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string gone = "ferrowick-" + std::to_string(dead) + "-7";
  const std::string alive = "ferrowick-" + std::to_string(::getppid()) + "-7";
  const std::string mine = "ferrowick-" + std::to_string(::getpid()) + "-7";
  for (const char* kind : {"unified", "memory"})
    for (const std::string& name : {gone, alive, mine, std::string("other-1-2")}) {
      fs::create_directory(fake.dir(kind) + "/" + name);
      put(fake.dir(kind) + "/" + name + "/cgroup.procs", "");
    }
  EXPECT_EQ(purge_dead_groups(host), 2);
  for (const char* kind : {"unified", "memory"}) {
    auto left = fake.children(kind);
    std::sort(left.begin(), left.end());
    std::vector<std::string> want{alive, mine, "other-1-2"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(left, want) << kind;
  }
}

}  // namespace
}  // namespace ferrowick
