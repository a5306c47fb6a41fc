// The cgroup layer on this host's real hierarchies: children that join a
// session's groups are limited, counted and killed as a tree, and nothing
// is left below the pool's own groups. Skips without root or without a
// writable hierarchy; every group made here is removed by finish().
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "pool/cgroup_host.h"
#include "pool/launcher.h"
#include "pool/session_group.h"

// ThreadSanitizer's runtime keeps threads and shadow memory of its own in
// every process, which the groups count like the tenant's: figures and
// process counts are checked only without it.
#if defined(__SANITIZE_THREAD__)
#define FERROWICK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FERROWICK_TSAN 1
#endif
#endif

namespace ferrowick {
namespace {

#ifdef FERROWICK_TSAN
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer's own threads and memory count in the group"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

#define SKIP_WITHOUT_CGROUPS(host)                                                            \
  do {                                                                                        \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make control groups";                \
    if ((host).memory.mech == CgroupMech::kNone || (host).tree_kill.mech == CgroupMech::kNone) \
      GTEST_SKIP() << "no writable memory cgroup here: " << (host).memory.reason;             \
  } while (0)

// Starts a child that joins `group`'s groups, then runs `body` and exits 0.
pid_t start_in(const SessionGroup& group, const std::function<void()>& body) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (int fd : group.join_fds())
    if (::write(fd, "0", 1) != 1) ::_exit(120);
  body();
  ::_exit(0);
}

int wait_status(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

void touch(std::size_t bytes) {
  char* p = static_cast<char*>(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (p == MAP_FAILED) ::_exit(121);
  for (std::size_t i = 0; i < bytes; i += 4096) p[i] = 1;
}

void burn_cpu(double seconds) {
  timespec ts{};
  do ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  while (static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 < seconds);
}

bool pid_is_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';  // a zombie holds nothing
}

constexpr std::uint64_t kMiB = 1 << 20;

TEST(SessionGroupHostTest, TheTreeIsCountedKilledAndTheGroupsRemoved) {
  SKIP_WITHOUT_CGROUPS(cgroup_host());
  // This host as it is, and as a v1 host would be without the unified tree
  // (killed through the freezer then).
  CgroupLayout v1_only = cgroup_host().layout;
  v1_only.unified.clear();
  const CgroupHost without_unified =
      detect_cgroup_host(v1_only, kernel_dir_ops(), "ferrowick-" + std::to_string(::getpid()) + "-probe");
  EXPECT_EQ(without_unified.tree_kill.mech, v1_only.freezer.empty() ? CgroupMech::kNone : CgroupMech::kV1);
  for (const CgroupHost* host : {&cgroup_host(), &without_unified}) {
    SCOPED_TRACE(host == &without_unified ? "without the unified tree" : "this host");
    if (host->tree_kill.mech == CgroupMech::kNone) continue;
    auto group = SessionGroup::create(*host, CgroupLimits{256 * kMiB, 64, {}});
    ASSERT_TRUE(group) << group.error().message;
    // A child that leaves a detached grandchild behind, as `setsid nohup` does.
    pid_t child = start_in(**group, [] {
      ::execl("/bin/sh", "sh", "-c", "setsid sleep 1000 </dev/null >/dev/null 2>&1 & exec sleep 1000", nullptr);
    });
    std::vector<std::string> dirs;
    for (const std::string* d : {&host->layout.unified, &host->layout.memory, &host->layout.pids,
                                 &host->layout.freezer})
      if (!d->empty() && std::filesystem::exists(*d + "/" + (*group)->name())) dirs.push_back(*d + "/" + (*group)->name());
    auto members_now = [&] {
      std::vector<pid_t> out;
      std::ifstream procs(dirs.front() + "/cgroup.procs");
      for (pid_t p; procs >> p;) out.push_back(p);
      return out;
    };
    // Waits for both processes by the member list: until the child has
    // exec'd, a sanitizer runtime's own thread in it counts as a task.
    std::vector<pid_t> members = members_now();
    for (int i = 0; i < 2000 && members.size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      members = members_now();
    }
    EXPECT_EQ((*group)->usage().pids, 2u);
    std::ifstream cg("/proc/" + std::to_string(child) + "/cgroup");
    std::string all((std::istreambuf_iterator<char>(cg)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find((*group)->name()), std::string::npos) << all;
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ((*group)->kill_tree(), 0);
    int status = wait_status(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    for (pid_t p : members) EXPECT_TRUE(pid_is_gone(p)) << p;
    (*group)->finish();
    for (const std::string& d : dirs) EXPECT_FALSE(std::filesystem::exists(d)) << d;
  }
}

TEST(SessionGroupHostTest, MemoryLimitHoldsForTheTreeAndIsReported) {
  const CgroupHost& host = cgroup_host();
  SKIP_WITHOUT_CGROUPS(host);
  auto group = SessionGroup::create(host, CgroupLimits{64 * kMiB, {}, {}});
  ASSERT_TRUE(group) << group.error().message;
  // Two children of 40 MiB each: together above the limit, each below it.
  pid_t a = start_in(**group, [] { touch(40 * kMiB); ::pause(); });
  pid_t b = start_in(**group, [] { touch(40 * kMiB); ::pause(); });
  for (int i = 0; i < 3000 && (*group)->usage().oom_kills == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CgroupUsage u = (*group)->usage();
  EXPECT_GE(u.oom_kills, 1u);
  EXPECT_LE(u.peak_memory, 64 * kMiB);
  EXPECT_GE(u.peak_memory, 40 * kMiB);
  ::kill(a, SIGKILL);
  ::kill(b, SIGKILL);
  wait_status(a);
  wait_status(b);
  (*group)->finish();
}

TEST(SessionGroupHostTest, PeakAndCpuTimeCoverProcessesAlreadyGone) {
  SKIP_UNDER_TSAN();
  const CgroupHost& host = cgroup_host();
  SKIP_WITHOUT_CGROUPS(host);
  auto group = SessionGroup::create(host, CgroupLimits{});
  ASSERT_TRUE(group) << group.error().message;
  pid_t toucher = start_in(**group, [] { touch(100 * kMiB); });
  pid_t burner1 = start_in(**group, [] { burn_cpu(0.4); });
  pid_t burner2 = start_in(**group, [] { burn_cpu(0.4); });
  for (pid_t p : {toucher, burner1, burner2}) EXPECT_EQ(wait_status(p), 0);
  (*group)->finish();
  CgroupUsage u = (*group)->usage();
  EXPECT_GE(u.peak_memory, 100 * kMiB);
  EXPECT_LE(u.peak_memory, 100 * kMiB + 16 * kMiB);
  EXPECT_NEAR(u.cpu_time, 0.8, 0.08);
}

TEST(SessionGroupHostTest, CpuShareHoldsTheTreeToItsPart) {
  const CgroupHost& host = cgroup_host();
  SKIP_WITHOUT_CGROUPS(host);
  if (host.cpu.mech == CgroupMech::kNone) GTEST_SKIP() << host.cpu.reason;
  auto group = SessionGroup::create(host, CgroupLimits{{}, {}, 20});
  ASSERT_TRUE(group) << group.error().message;
  // Spinning for one second of wall time gets a fifth of a CPU.
  pid_t spinner = start_in(**group, [] {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
    }
  });
  EXPECT_EQ(wait_status(spinner), 0);
  EXPECT_NEAR((*group)->usage().cpu_time, 0.2, 0.06);
  (*group)->finish();
}

TEST(SessionGroupHostTest, PidsLimitStopsForksAtTheCap) {
  SKIP_UNDER_TSAN();
  const CgroupHost& host = cgroup_host();
  SKIP_WITHOUT_CGROUPS(host);
  if (host.pids.mech == CgroupMech::kNone) GTEST_SKIP() << host.pids.reason;
  auto group = SessionGroup::create(host, CgroupLimits{{}, 10, {}});
  ASSERT_TRUE(group) << group.error().message;
  // The child forks 30 sleepers: the kernel refuses all beyond the tenth
  // process, and the child reports how many forks succeeded.
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t child = start_in(**group, [&] {
    int made = 0;
    for (int i = 0; i < 30; ++i) {
      pid_t p = ::fork();
      if (p == 0) {
        ::pause();
        ::_exit(0);
      }
      if (p > 0) ++made;
    }
    (void)!::write(report[1], &made, sizeof made);
    ::pause();
  });
  int made = -1;
  ASSERT_EQ(::read(report[0], &made, sizeof made), static_cast<ssize_t>(sizeof made));
  EXPECT_EQ(made, 9);
  EXPECT_EQ((*group)->usage().pids, 10u);
  (*group)->finish();
  EXPECT_TRUE(WIFSIGNALED(wait_status(child)));
  ::close(report[0]);
  ::close(report[1]);
}

// The launcher's child is born in the v2 group (clone3), or, where that is
// refused (here: a directory that is no group), joins it by the write; in
// both it is inside before it runs anything.
TEST(SessionGroupHostTest, TheLaunchedChildIsInsideBornOrJoined) {
  const CgroupHost& host = cgroup_host();
  SKIP_WITHOUT_CGROUPS(host);
  if (!host.v2_usable) GTEST_SKIP() << "no v2 group here";
  auto group = SessionGroup::create(host, {});
  ASSERT_TRUE(group) << group.error().message;
  ASSERT_GE((*group)->v2_dir(), 0);
  const int not_a_group = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int dir : {(*group)->v2_dir(), not_a_group}) {
    SCOPED_TRACE(dir == not_a_group ? "refused" : "born inside");
    SpawnOptions options;
    options.cgroup_procs = (*group)->join_fds();
    options.cgroup_v2_dir = dir;
    options.cgroup_v2_procs = (*group)->v2_procs();
    auto child = spawn_with_pipes({"/bin/cat", "/proc/self/cgroup"}, &options);
    ASSERT_TRUE(child.has_value());
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(child->stdout_fd(), buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(child->wait(), 0);
    const std::size_t v2_line = out.find("0::");
    ASSERT_NE(v2_line, std::string::npos) << out;
    EXPECT_NE(out.find((*group)->name(), v2_line), std::string::npos) << out;
  }
  ::close(not_a_group);
  (*group)->finish();
}

}  // namespace
}  // namespace ferrowick
