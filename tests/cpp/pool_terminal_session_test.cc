// Shell sessions as a pool account, and what release leaves behind.
// Needs root, `su`, `useradd`, `pkill`.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "pool/account_processes.h"
#include "pool/terminal_session.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

using testing_support::bytes;
using testing_support::read_until;

class TerminalSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_HOST_SUPPORT();
    auto user = alloc_user(pool_);
    ASSERT_TRUE(user.has_value()) << user.error();
    user_ = *user;
    auto session = spawn_terminal(user_);
    ASSERT_TRUE(session.has_value()) << session.error();
    session_ = std::move(*session);
  }

  // True when `pid` is no longer a child of this process (it was reaped).
  static bool reaped(pid_t pid) {
    errno = 0;
    return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
  }

  SharedPool pool_ = make_user_pool(1);
  SharedUser user_;
  std::unique_ptr<TerminalSession> session_;
};

TEST_F(TerminalSessionTest, ShellRunsAsTheAccountInItsHome) {
  ASSERT_TRUE(session_->write(bytes("echo m$((40+2)) $(id -u) \"$HOME\" \"$PWD\"\n")));
  // The pty echoes the line itself; only the shell computes "m42".
  auto g = user_->lock();
  std::string want = "m42 " + std::to_string(g->uid()) + " " + g->home() + " " + g->home();
  EXPECT_NE(read_until(*session_, want).find(want), std::string::npos);
  testing_support::Watchdog dog(10);  // empty reads must not wait
  std::span<std::uint8_t> none;
  EXPECT_EQ(session_->read_stdout(none).value(), 0u);
  EXPECT_EQ(session_->read_stderr(none).value(), 0u);
  EXPECT_TRUE(session_->write({}));
}

TEST_F(TerminalSessionTest, ClosedSessionRefusesEverything) {
  pid_t su = session_->pid();
  session_->close();
  EXPECT_TRUE(reaped(su));
  std::uint8_t buf[8];
  EXPECT_EQ(session_->write(bytes("ls\n")).error(), "The process is None");
  EXPECT_EQ(session_->read_stdout(buf).error(), "The process is None");
  EXPECT_EQ(session_->read_stderr(buf).error(), "The process is None");
  session_->close();  // harmless
  EXPECT_TRUE(session_->is_closed());
}

TEST_F(TerminalSessionTest, AfterTheShellExitsReadsEndAndWritesBreak) {
  testing_support::ScopedIgnoreSigpipe ignore;
  ASSERT_TRUE(session_->write(bytes("echo bye$((1+1)); exit\n")));
  EXPECT_NE(read_until(*session_, "\x01never").find("bye2"), std::string::npos);  // to the end
  std::uint8_t buf[16];
  EXPECT_EQ(session_->read_stdout(buf).value(), 0u);
  EXPECT_EQ(session_->read_stderr(buf).value(), 0u);
  // `su` may close its output before it exits; wait (without reaping) until
  // it has exited and so let go of the input pipe too.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(session_->pid()), &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(session_->write(bytes("ls\n")).error(),
            "Failed to write to the stdin of the process: Broken pipe (os error 32)");
}

TEST_F(TerminalSessionTest, DroppingSessionAndUserLeavesNothingRunning) {
  // Background processes that ignore the polite signal pkill sends.
  ASSERT_TRUE(session_->write(bytes("trap '' TERM HUP; for i in 1 2 3; do sleep 1000 & done; echo bg$((3*3))\n")));
  read_until(*session_, "bg9");
  const std::uint32_t uid = user_->lock()->uid();
  EXPECT_GE(live_processes_of(uid).size(), 3u);
  pid_t su = session_->pid();
  session_.reset();
  EXPECT_TRUE(reaped(su));
  EXPECT_EQ(user_.use_count(), 1);  // the session let go of the account
  user_.reset();                    // last holder: the account is released
  EXPECT_EQ(live_processes_of(uid), std::vector<pid_t>{});
  EXPECT_EQ(pool_->lock()->free_user.size(), 1u);
}

TEST_F(TerminalSessionTest, MissingSuFailsAndKeepsTheAccountHandedOut) {
  testing_support::TempDir empty;
  testing_support::ScopedPath path(empty.path());
  auto session = spawn_terminal(user_);
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error(), "Failed to create the terminal session: No such file or directory (os error 2)");
  EXPECT_EQ(user_.use_count(), 2);  // the fixture's and the live session's
  EXPECT_TRUE(pool_->lock()->free_user.empty());
}

}  // namespace
}  // namespace ferrowick
