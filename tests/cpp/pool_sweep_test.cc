// Root's walks through tenant-writable trees, claims, System V IPC removal
// and the chosen environment and limits of a child. No account is needed:
// entries are given to an arbitrary uid that no process uses.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pool/account_claims.h"
#include "pool/account_leftovers.h"
#include "common/unique_fd.h"
#include "pool/kernel_leftovers.h"
#include "pool/launcher.h"
#include "pool/tree_sweep.h"
#include "pool/writable_places.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kTenant = 48611;  // owns the planted entries; runs nothing

class SweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give entries to another uid";
  }
  testing_support::TempDir tmp_;
  std::string at(const std::string& rel) const { return tmp_.path() + "/" + rel; }
  void own(const std::string& rel, uid_t uid = kTenant) const { ASSERT_EQ(::lchown(at(rel).c_str(), uid, uid), 0); }
  void dir(const std::string& rel, mode_t mode, uid_t uid) const {
    fs::create_directory(at(rel));
    ::chmod(at(rel).c_str(), mode);
    own(rel, uid);
  }
  void file(const std::string& rel, uid_t uid) const {
    std::ofstream(at(rel)) << "x";
    own(rel, uid);
  }
  bool there(const std::string& rel) const { return fs::exists(fs::symlink_status(at(rel))); }
};

TEST_F(SweepTest, OnlyTheTenantsEntriesGoAndNothingIsFollowed) {
  fs::create_directory(at("outside"));
  file("outside/precious", 0);
  dir("shared", 01777, 0);           // like /tmp: the tenant can write here
  dir("shared/private", 0755, 0);    // narrowed after the tenant wrote in it
  file("shared/private/mine", kTenant);
  file("shared/mine", kTenant);
  file("shared/theirs", kTenant + 1);
  ::mkfifo(at("shared/fifo").c_str(), 0600);
  own("shared/fifo");
  fs::create_directory_symlink(at("outside"), at("shared/link"));
  own("shared/link");
  dir("shared/tree", 0700, kTenant);
  dir("shared/tree/sub", 0700, kTenant);
  file("shared/tree/sub/f", kTenant);
  dir("shared/mixed", 0700, kTenant);  // the tenant's, but holding another's file
  file("shared/mixed/theirs", kTenant + 1);
  dir("shared/open", 0777, kTenant + 1);  // another's, writable by all
  file("shared/open/mine", kTenant);
  dir("shared/skipped", 0777, 0);
  file("shared/skipped/mine", kTenant);

  SweepRule rule;
  rule.owner = kTenant;
  struct stat st;
  ASSERT_EQ(::stat(at("shared/skipped").c_str(), &st), 0);
  rule.skip.emplace_back(st.st_dev, st.st_ino);
  UniqueFd fd(::open(at("shared").c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(sweep_directory(fd.get(), rule), 0);

  for (const char* gone :
       {"shared/mine", "shared/fifo", "shared/link", "shared/tree", "shared/open/mine", "shared/private/mine"})
    EXPECT_FALSE(there(gone)) << gone;
  for (const char* kept : {"shared/private", "shared/theirs", "shared/mixed/theirs", "shared/open",
                           "shared/skipped/mine", "outside/precious"})
    EXPECT_TRUE(there(kept)) << kept;
}

TEST_F(SweepTest, TreesDeeperThanTheDescriptorLimitAreRemoved) {
  // Deeper than the limit set below; creating and removing a level costs
  // this file system a time that grows with the depth, so the soak's pool
  // cycles take the 25,000-level chain.
  constexpr int kDepth = 600;
  fs::create_directory(at("deep"));
  {
    UniqueFd fd(::open(at("deep").c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < kDepth; ++i) {
      ASSERT_EQ(::mkdirat(fd.get(), "d", 0700), 0);
      if (i % 50 == 0) std::ofstream(fs::path("/proc/self/fd") / std::to_string(fd.get()) / "f") << i;
      fd.reset(::openat(fd.get(), "d", O_RDONLY | O_DIRECTORY));
      ASSERT_TRUE(fd.valid());
    }
    ::symlinkat(at("outside").c_str(), fd.get(), "up");
  }
  fs::create_directory(at("outside"));
  rlimit old{};
  ::getrlimit(RLIMIT_NOFILE, &old);
  rlimit few{64, old.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &few);
  UniqueFd top(::open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY));
  const int rc = remove_tree_at(top.get(), "deep");
  ::setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(there("deep"));
  EXPECT_TRUE(there("outside"));
  EXPECT_EQ(remove_tree_at(top.get(), "outside_link_missing"), ENOENT);
}

TEST_F(SweepTest, ATreeMovedAboutDuringTheSweepLeavesNothingOfTheTenant) {
  dir("shared", 01777, 0);
  dir("shared/away", 0755, kTenant + 1);  // another account's, where it moves the tree
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    dir("shared/tree", 0777, kTenant + 1);  // another account's tree, the tenant writing in it
    for (const char* d : {"shared/tree/a", "shared/tree/a/b", "shared/tree/a/b/c"}) dir(d, 0777, kTenant + 1);
    for (int i = 0; i < 50; ++i) file("shared/tree/a/b/c/f" + std::to_string(i), kTenant);
    for (int i = 0; i < 50; ++i) file("shared/z" + std::to_string(i), kTenant);  // what comes after it
    std::atomic<bool> stop = false;
    std::thread mover([&] {
      const std::string here = at("shared/tree/a"), there_ = at("shared/away/a");
      for (bool out = true; !stop; out = !out) {
        ::rename(out ? here.c_str() : there_.c_str(), out ? there_.c_str() : here.c_str());
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    const auto problems = remove_files_of(kTenant, {at("shared")}, "/nonexistent");
    stop = true;
    mover.join();
    // Nothing of the tenant is left: not after the tree (the walk goes on
    // past a directory that moved), nor in it (followed where it went).
    std::size_t left = 0;
    for (const auto& e : fs::recursive_directory_iterator(at("shared"))) {
      struct stat st;
      if (::lstat(e.path().c_str(), &st) == 0 && st.st_uid == kTenant) ++left;
    }
    EXPECT_EQ(left, 0u) << (problems.empty() ? "" : problems.front());
    fs::remove_all(at("shared/tree"));
    fs::remove_all(at("shared/away/a"));
  }
}

TEST_F(SweepTest, AfterAMarkEveryEntryTheTenantAddedIsFoundThoughOnlyChangedDirectoriesAreExamined) {
  // Older than the mark: another account's tree open to all (a directory
  // holding a directory, down to a leaf), and places outside the sweep.
  for (const char* d : {"shared", "shared/old", "shared/old/a", "shared/old/a/b", "shared/quiet"}) {
    dir(d, 0777, kTenant + 1);
  }
  file("shared/quiet/before", kTenant);  // cannot be there at a mark: shows what is not examined
  dir("elsewhere", 0777, 0);
  for (const char* f : {"elsewhere/made", "elsewhere/linked"}) file(f, kTenant);
  dir("elsewhere/tree", 0700, kTenant);
  file("elsewhere/tree/inside", kTenant);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  timespec mark{};
  ::clock_gettime(CLOCK_REALTIME, &mark);
  mark.tv_nsec -= mark.tv_nsec >= 20'000'000 ? 20'000'000 : mark.tv_nsec;  // change times come from a coarser clock

  // What the tenant does after it, each way an entry can land in an old
  // directory.
  const struct {
    const char* left;
    const char* from;  // moved or linked from here; made there when empty
    bool link;
  } cases[] = {
      {"shared/old/a/b/new", "", false},           // made deep below unchanged directories
      {"shared/old/moved", "elsewhere/made", false},  // made elsewhere, renamed in
      {"shared/old/a/link", "elsewhere/linked", true},  // a hard link
      {"shared/old/a/tree", "elsewhere/tree", false},  // a tree of its own, renamed in
  };
  for (const auto& c : cases) {
    if (c.from[0] == '\0') {
      file(c.left, kTenant);
    } else {
      ASSERT_EQ((c.link ? ::link : ::rename)(at(c.from).c_str(), at(c.left).c_str()), 0) << c.left;
    }
  }

  SweepRule rule;
  rule.owner = kTenant;
  rule.changed_since = mark;
  UniqueFd fd(::open(at("shared").c_str(), O_RDONLY | O_DIRECTORY));
  const SweepOutcome outcome = sweep_tree(fd.get(), rule);
  EXPECT_EQ(outcome.error, 0);
  for (const auto& c : cases) EXPECT_FALSE(there(c.left)) << c.left;
  EXPECT_TRUE(there("elsewhere/linked"));  // outside: the link's other name
  if (stamps_directory_changes(fd.get())) {
    EXPECT_TRUE(there("shared/quiet/before"));
    EXPECT_EQ(outcome.matched, 5u);  // the four, and the file in the tree
  }
  // Without a mark, everything is examined.
  EXPECT_EQ(sweep_directory(fd.get(), SweepRule{kTenant, {}, {}}), 0);
  EXPECT_FALSE(there("shared/quiet/before"));
}

TEST(SweepMarks, ASweepExaminesWhatChangedSinceTheLastCleanOneUnlessTheClockWasSet) {
  const std::vector<std::string> places{"/tmp"}, others{"/tmp", "/srv/drop"};
  const SweepMark last{{1'000'000, 500}, {100, 0}, &places};
  constexpr time_t kHour = 3600;
  const struct {
    timespec wall;
    timespec boot;
    const std::vector<std::string>* places;
    bool pruned;
  } cases[] = {
      {{1'000'000 + kHour, 500}, {100 + kHour, 0}, &places, true},
      {{1'000'000 + kHour, 400'000'500}, {100 + kHour, 0}, &places, true},  // slewed a little
      {{1'000'000 + kHour - 5, 500}, {100 + kHour, 0}, &places, false},     // set back
      {{1'000'000 + kHour + 5, 500}, {100 + kHour, 0}, &places, false},     // set forward
      {{1'000'000 + kHour, 500}, {100 + kHour, 0}, &others, false},        // a place never swept
  };
  for (const auto& c : cases) {
    const auto from = examine_changes_from(last, SweepMark{c.wall, c.boot, c.places});
    ASSERT_EQ(from.has_value(), c.pruned) << c.wall.tv_sec << "." << c.wall.tv_nsec;
    if (from) {
      EXPECT_EQ(from->tv_sec, 1'000'000 - kClockMargin.count());
      EXPECT_EQ(from->tv_nsec, 500);
    }
  }
}

TEST_F(SweepTest, WorldWritableDirectoriesAreFoundWhereATenantCanReachThem) {
  dir("top", 0755, 0);
  dir("top/open", 01777, 0);         // found
  dir("top/open/inner", 0777, 0);    // below a found one: the sweep goes there anyway
  dir("top/usr", 0755, 0);
  dir("top/usr/deep", 0711, 0);
  dir("top/usr/deep/lock", 0777, 0);  // found: searchable all the way
  dir("top/root", 0700, 0);
  dir("top/root/hidden", 0777, 0);    // unreachable for a tenant
  fs::create_directory_symlink(at("top/root/hidden"), at("top/usr/link"));
  const std::vector<std::string> want = {at("top/open"), at("top/usr/deep/lock")};
  EXPECT_EQ(find_writable_places({at("top")}), want);
}

TEST(Claims, OnePerAccountAcrossOpenFilesAndGoneWithItsProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for the claim store";
  const std::string name = "ferrowick_claim_test_" + std::to_string(::getpid());
  auto first = try_claim(name);
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_TRUE(first->has_value());
  EXPECT_TRUE(is_claimed(name));
  auto second = try_claim(name);  // same process, another pool
  ASSERT_TRUE(second.has_value());
  EXPECT_FALSE(second->has_value());
  first->reset();
  EXPECT_FALSE(is_claimed(name));

  // A claim held by a process that dies by SIGKILL goes with it.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    auto mine = try_claim(name);
    char ok = mine && *mine ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  EXPECT_TRUE(is_claimed(name));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(is_claimed(name));
  ::close(ready[0]);
  ::close(ready[1]);
  retire_claim(name);
}

TEST(Ipc, ObjectsOwnedOrMadeByTheUidAreRemoved) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an IPC object away";
  const int mine = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  const int kept = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  ASSERT_GE(mine, 0);
  ASSERT_GE(kept, 0);
  shmid_ds ds{};
  ASSERT_EQ(::shmctl(mine, IPC_STAT, &ds), 0);
  ds.shm_perm.uid = kTenant;
  ASSERT_EQ(::shmctl(mine, IPC_SET, &ds), 0);
  EXPECT_TRUE(remove_ipc_of(kTenant).empty());
  EXPECT_NE(::shmctl(mine, IPC_STAT, &ds), 0);
  EXPECT_EQ(::shmctl(kept, IPC_STAT, &ds), 0);
  ::shmctl(kept, IPC_RMID, nullptr);
}

TEST(SpawnOptions, ChildGetsExactlyTheEnvironmentAndLimits) {
  ::setenv("FERROWICK_HOST_SECRET", "s3cret", 1);
  SpawnOptions options;
  options.env = std::vector<std::string>{"ONLY=this", "PATH=/usr/bin:/bin"};
  options.limits = {{RLIMIT_NOFILE, 77}, {RLIMIT_FSIZE, 4096}};
  auto child = spawn_with_pipes({"sh", "-c", "env | sort | tr '\\n' ' '; ulimit -n; ulimit -Hf"}, &options);
  ::unsetenv("FERROWICK_HOST_SECRET");
  ASSERT_TRUE(child.has_value());
  ::close(child->stdin_fd());
  std::string out;
  char buf[512];
  for (ssize_t n; (n = ::read(child->stdout_fd(), buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(child->wait(), 0);
  EXPECT_EQ(out.find("SECRET"), std::string::npos) << out;
  EXPECT_NE(out.find("ONLY=this"), std::string::npos) << out;
  EXPECT_NE(out.find("77\n8\n"), std::string::npos) << out;  // ulimit -f counts 512-byte blocks

  EXPECT_EQ(spawn_with_pipes({"ferrowick_no_such_tool"}, &options).error(), ENOENT);
  options.limits = {{RLIMIT_NOFILE, RLIM_INFINITY}};  // above the kernel's ceiling
  EXPECT_EQ(spawn_with_pipes({"sh", "-c", "true"}, &options).error(), EPERM);
}

}  // namespace
}  // namespace ferrowick
