// A session inside its control group: su and everything it starts are in
// the group, close() takes the whole tree (detached processes included)
// while the account stays handed out, and usage() is frozen at the end.
// Needs root, `su`, `useradd`, `pkill`, and a writable cgroup hierarchy.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pool/terminal_session.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

WaitLimits within(double seconds) { return WaitLimits{deadline_after(seconds), {}}; }

// Live: neither gone nor a zombie (a zombie holds nothing but its pid).
bool runs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  std::size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

class SessionGroupSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_HOST_SUPPORT();
    if (session_cgroup_host().tree_kill.mech == CgroupMech::kNone)
      GTEST_SKIP() << "no way to kill a tree here: " << session_cgroup_host().tree_kill.reason;
    auto user = alloc_user(pool_);
    ASSERT_TRUE(user.has_value()) << user.error();
    user_ = *user;
  }

  std::unique_ptr<TerminalSession> spawn(const CgroupLimits& limits) {
    SpawnOptions options;
    options.group = limits;
    auto session = spawn_terminal(user_, &options);
    EXPECT_TRUE(session.has_value()) << session.error();
    return session ? std::move(*session) : nullptr;
  }

  SharedPool pool_ = make_user_pool(1);
  SharedUser user_;
};

TEST_F(SessionGroupSessionTest, CloseTakesTheDetachedTreeAndKeepsTheAccount) {
  auto session = spawn({});
  ASSERT_TRUE(session);
  // In a subshell the background job leads no process group, so setsid
  // needs no fork of its own and $! is the sleeper's pid.
  auto started = session->run("(setsid nohup sleep 1000 >/dev/null 2>&1 & echo pid=$!)", within(30));
  ASSERT_TRUE(started) << started.error().message;
  std::size_t at = started->output.find("pid=");
  ASSERT_NE(at, std::string::npos) << started->output;
  pid_t sleeper = std::stoi(started->output.substr(at + 4));
  ASSERT_TRUE(runs(sleeper));
  std::ifstream cg("/proc/" + std::to_string(sleeper) + "/cgroup");
  std::string groups((std::istreambuf_iterator<char>(cg)), std::istreambuf_iterator<char>());
  EXPECT_NE(groups.find("ferrowick-" + std::to_string(::getpid()) + "-"), std::string::npos) << groups;

  session->close();
  EXPECT_FALSE(runs(sleeper));
  // The account is still this test's: a new session of it starts and runs.
  auto again = spawn({});
  ASSERT_TRUE(again);
  auto echo = again->run("echo still", within(30));
  ASSERT_TRUE(echo) << echo.error().message;
  EXPECT_EQ(echo->output, "still\r\n");
}

TEST_F(SessionGroupSessionTest, UsageCountsTheTreeAndIsFrozenAtClose) {
  auto session = spawn(CgroupLimits{256u << 20, 64, {}});
  ASSERT_TRUE(session);
  auto burned = session->run("i=0; while [ $i -lt 20000 ]; do i=$((i+1)); done", within(60));
  ASSERT_TRUE(burned) << burned.error().message;
  CgroupUsage live = session->usage();
  EXPECT_NE(std::string(live.source), "rusage");
  EXPECT_GT(live.cpu_time, 0.05);
  EXPECT_GE(live.pids, 2u);  // su and bash at least
  session->close();
  CgroupUsage end = session->usage();
  EXPECT_GE(end.cpu_time, live.cpu_time);
  EXPECT_GE(end.peak_memory, live.memory);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(session->usage().cpu_time, end.cpu_time);
}

}  // namespace
}  // namespace ferrowick
