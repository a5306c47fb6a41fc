// Releasing an account: a tenant can neither stall nor outlive it, an
// explicit release ends the account's sessions, and allocations wait for
// releases. Needs root, `su`, `useradd`.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "pool/account_leftovers.h"
#include "pool/account_processes.h"
#include "pool/terminal_session.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

using testing_support::bytes;
using testing_support::read_until;

// True when some process in `pids` is stopped (state T in /proc).
bool any_stopped(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto paren = line.rfind(')');
    if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'T') return true;
  }
  return false;
}

class ReleaseTest : public testing_support::AccountTest {
 protected:

  // A session whose tenant may start at most 64 processes.
  std::unique_ptr<TerminalSession> capped_session() {
    SpawnOptions options;
    options.limits.emplace_back(RLIMIT_NPROC, 64);
    auto session = spawn_terminal(user_, &options);
    EXPECT_TRUE(session.has_value()) << session.error();
    return session ? std::move(*session) : nullptr;
  }
};

TEST_F(ReleaseTest, ATenantStoppingEverythingItCanSignalNeitherStallsNorOutlivesTheRelease) {
  auto session = capped_session();
  ASSERT_TRUE(session);
  // The shell itself loops kill(-1, SIGSTOP) (which spares the caller),
  // stopping every other process of the account, again and again.
  ASSERT_TRUE(session->write(bytes("sleep 1000 & sleep 1001 & echo armed$((2*3)); while :; do kill -STOP -1; done\n")));
  read_until(*session, "armed6");
  ASSERT_GE(live_processes_of(uid_).size(), 3u);
  const auto armed = WaitClock::now() + std::chrono::seconds(5);
  while (!any_stopped(live_processes_of(uid_)) && WaitClock::now() < armed) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(any_stopped(live_processes_of(uid_)));
  testing_support::Watchdog dog(30);  // a stalled release ends the test run
  EXPECT_TRUE(release_user(*user_));
  EXPECT_EQ(live_processes_of(uid_), std::vector<pid_t>{});
  EXPECT_EQ(pool_->lock()->free_user.size(), 1u);  // handed back, not set aside
  session.reset();
}

TEST_F(ReleaseTest, AnExplicitReleaseEndsTheSessionsAndHandsTheAccountBackOnce) {
  auto session = capped_session();
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->write(bytes("sleep 1000 & echo up$((2*4))\n")));
  read_until(*session, "up8");
  EXPECT_TRUE(release_user(*user_));
  EXPECT_TRUE(user_->lock()->released());
  EXPECT_FALSE(release_user(*user_));  // once only
  EXPECT_EQ(live_processes_of(uid_), std::vector<pid_t>{});
  // The shell was killed, so su ends and the session's output ends.
  EXPECT_EQ(read_until(*session, "\x01never").find("\x01never"), std::string::npos);
  auto again = alloc_user(pool_);
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ((*again)->lock()->uid(), uid_);
  // Dropping the released User and its session changes nothing more.
  session.reset();
  user_.reset();
  EXPECT_TRUE(pool_->lock()->free_user.empty());
}

TEST_F(ReleaseTest, ClosingASessionLeavesTheShellReapedNotAZombieForInit) {
  auto session = capped_session();
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->write(bytes("echo up$((3*3))\n")));
  read_until(*session, "up9");
  const pid_t su = session->pid();
  std::ifstream children("/proc/" + std::to_string(su) + "/task/" + std::to_string(su) + "/children");
  pid_t shell = 0;
  ASSERT_TRUE(children >> shell);
  session->close();
  // su reaped it: no process, not even a dead one, is left of that pid
  // (unless the pid was reused at once, by a process that is not the shell).
  std::ifstream status("/proc/" + std::to_string(shell) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("PPid:", 0) != 0) {
  }
  EXPECT_TRUE(!status || line != "PPid:\t1") << line;
}

TEST_F(ReleaseTest, WhatATenantPutsInDirectoriesOlderThanItsTenancyGoesWithTheRelease) {
  // A tree open to all below /tmp, older than the tenancy's last sweep by
  // more than the margin: its directories count as unchanged until the
  // tenant writes there.
  testing_support::TempDir place;
  ASSERT_EQ(::chmod(place.path().c_str(), 0755), 0);
  const std::string old = place.path() + "/old";
  for (const std::string& d : {old, old + "/a", old + "/a/b"}) {
    ASSERT_EQ(::mkdir(d.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(d.c_str(), 0777), 0);
  }
  std::this_thread::sleep_for(kClockMargin + std::chrono::milliseconds(300));
  EXPECT_TRUE(release_user(*user_));  // its sweep marks the next tenancy
  auto next = alloc_user(pool_);      // released clean: no sweep of its own
  ASSERT_TRUE(next.has_value()) << next.error();
  user_ = *next;
  auto session = capped_session();
  ASSERT_TRUE(session);
  // Made deep down, made elsewhere and renamed in, hard-linked in.
  ASSERT_TRUE(session->write(bytes("cd " + old + " && echo x > a/b/new && d=$(mktemp -d) && echo y > $d/m && " +
                                   "mv $d/m moved && echo z > $d/l && ln $d/l a/link && echo planted$((6*7))\n")));
  ASSERT_NE(read_until(*session, "planted42").find("planted42"), std::string::npos);
  EXPECT_TRUE(release_user(*user_));
  for (const char* left : {"/a/b/new", "/moved", "/a/link"}) {
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(old + left))) << left;
  }
}

TEST_F(ReleaseTest, AllocationsWaitForAReleaseOnlyWhenAskedAndUntilTheirDeadline) {
  using Kind = AllocFailure::Kind;
  const auto soon = [] { return WaitClock::now() + std::chrono::milliseconds(50); };
  const struct {
    bool may_wait;
    WaitLimits wait;
    Kind kind;
  } cases[] = {
      {false, {}, Kind::kFailed},
      {false, {soon(), {}}, Kind::kFailed},  // a deadline alone does not make it wait
      {true, {soon(), {}}, Kind::kTimedOut},
      {true, {WaitClock::now(), {}}, Kind::kTimedOut},
      {true, {std::nullopt, [] { return false; }}, Kind::kInterrupted},
  };
  for (const auto& c : cases) {
    auto refused = allocate_user(pool_, c.may_wait, c.wait);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, c.kind);
    EXPECT_EQ(refused.error().message, "Failed to allocate a new user account");
    EXPECT_EQ(refused.error().reason, "all 1 account is in use");
  }
  EXPECT_EQ(pool_full_reason(3), "all 3 accounts are in use");

  testing_support::Watchdog dog(30);
  std::thread releaser([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    user_.reset();
  });
  auto got = allocate_user(pool_, true, WaitLimits{});  // no deadline: until a release
  releaser.join();
  ASSERT_TRUE(got.has_value()) << got.error().message;
  EXPECT_EQ((*got)->lock()->uid(), uid_);
}

}  // namespace
}  // namespace ferrowick
