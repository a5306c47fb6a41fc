// Shell sessions as a pool account, and what release leaves behind.
// Needs root, `su`, `useradd`, `pkill`.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "pool/account_processes.h"
#include "pool/terminal_session.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

using testing_support::bytes;
using testing_support::read_until;

class TerminalSessionTest : public testing_support::AccountTest {
 protected:
  void SetUp() override {
    AccountTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    auto session = spawn_terminal(user_);
    ASSERT_TRUE(session.has_value()) << session.error();
    session_ = std::move(*session);
  }

  // True when `pid` is no longer a child of this process (it was reaped).
  static bool reaped(pid_t pid) {
    errno = 0;
    return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
  }

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

using Stream = TerminalSession::Stream;
using Kind = SessionError::Kind;

WaitLimits within(double seconds) { return WaitLimits{deadline_after(seconds), {}}; }

// Sends `line` until the output shows `answer` (a line sent while the
// interpreter still handles an interrupt may be dropped); everything read.
std::string answer_until(TerminalSession& session, std::string_view line, std::string_view answer) {
  std::string seen;
  std::uint8_t buf[256];
  for (int tries = 0; tries < 10 && seen.find(answer) == std::string::npos; ++tries) {
    if (!session.write(bytes(line), within(5))) break;
    for (auto n = session.read(Stream::kStdout, buf, within(1)); n && *n > 0;
         n = session.read(Stream::kStdout, buf, within(1))) {
      seen.append(reinterpret_cast<const char*>(buf), *n);
      if (seen.find(answer) != std::string::npos) break;
    }
  }
  return seen;
}

// Reader, writer and closer threads on one session (run under TSan by the
// deep checks): a write and a read of standard output go through while
// another thread is blocked reading standard error, and close() wakes that
// reader at once.
TEST_F(TerminalSessionTest, StreamsAreIndependentAndCloseWakesBlockedCalls) {
  testing_support::Watchdog dog(30);
  std::atomic<bool> err_done{false};
  Expected<std::size_t, SessionError> err_read = std::size_t{0};
  std::thread err_reader([&] {
    std::uint8_t buf[64];
    err_read = session_->read(Stream::kStderr, buf, WaitLimits{});
    err_done = true;
  });
  std::thread writer([&] { EXPECT_TRUE(session_->write(bytes("echo m$((6*7))\n"), WaitLimits{})); });
  EXPECT_NE(read_until(*session_, "m42").find("m42"), std::string::npos);
  writer.join();
  EXPECT_FALSE(err_done);
  std::thread stdout_reader([&] {
    std::uint8_t buf[64];
    for (;;) {
      auto n = session_->read(Stream::kStdout, buf, WaitLimits{});
      if (!n) {
        EXPECT_EQ(n.error().message, "The process is None");
        return;
      }
    }
  });
  auto start = std::chrono::steady_clock::now();
  std::thread closer([&] { session_->close(); });
  closer.join();
  err_reader.join();
  stdout_reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  ASSERT_FALSE(err_read);
  EXPECT_EQ(err_read.error().message, "The process is None");
  EXPECT_EQ(session_->pid(), -1);
  EXPECT_EQ(session_->stdout_fd(), -1);
}

TEST_F(TerminalSessionTest, RunFramesEachCommandAndKeepsTheShellState) {
  testing_support::Watchdog dog(60);
  struct {
    const char* command;
    int status;
    std::string output;
  } const cases[] = {
      {"false", 1, ""},
      {"echo $?", 0, "1\r\n"},
      {"echo hi", 0, "hi\r\n"},
      {"printf 'no line end'", 0, "no line end"},
      {"printf 'fw-%s-e:0\\n' x", 0, "fw-x-e:0\r\n"},
      {"cd /tmp; X=kept; (exit 7)", 7, ""},
      {"echo $PWD $X", 0, "/tmp kept\r\n"},
      {"echo 'a\tb' \"!\"", 0, "a\tb !\r\n"},
      // The command reads /dev/null, not the line of the next run().
      {"read x", 1, ""},
      {"echo after-read", 0, "after-read\r\n"},
      // Under tracing only the command's own lines show.
      {"set -x; echo t", 0, "++ echo t\r\nt\r\n"},
      {"false", 1, "++ false\r\n"},
      {"echo $?; set +x", 0, "++ echo 1\r\n1\r\n++ set +x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    auto r = session_->run(c.command, within(20));
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(r->output, c.output);
  }
  auto big = session_->run("head -c 1048576 /dev/zero | tr '\\0' a", within(30));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->output, std::string(1 << 20, 'a'));
  EXPECT_EQ(session_->run("echo a\necho b", {}).error().message,
            "The command must be a single line: it contains a line feed");
}

TEST_F(TerminalSessionTest, TimeoutsChecksInterruptAndWait) {
  testing_support::Watchdog dog(60);
  std::uint8_t buf[64];
  ASSERT_TRUE(session_->run("true", within(20)));  // the prompt is out: the shell is quiet now
  auto start = std::chrono::steady_clock::now();
  auto quiet = session_->read(Stream::kStderr, buf, within(0.3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  ASSERT_FALSE(quiet);
  EXPECT_EQ(quiet.error().kind, Kind::kTimedOut);

  int checks = 0;
  auto stopped = session_->read(Stream::kStderr, buf, WaitLimits{{}, [&] { return ++checks < 3; }});
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, Kind::kInterrupted);
  EXPECT_EQ(checks, 3);

  auto slow = session_->run("sleep 100", within(0.3));
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().kind, Kind::kTimedOut);
  ASSERT_TRUE(session_->interrupt());
  auto after = session_->run("echo after", within(20));
  ASSERT_TRUE(after) << after.error().message;
  EXPECT_EQ(after->output, "after\r\n");

  EXPECT_EQ(session_->wait(within(0.1)).error().kind, Kind::kTimedOut);
  ASSERT_TRUE(session_->write(bytes("exit 3\n"), within(5)));
  EXPECT_EQ(session_->wait(within(20)).value(), 3);
  EXPECT_EQ(session_->wait(WaitLimits{}).value(), 3);  // reaped once, status kept
  session_->close();
}

// What came before a frame goes to the next read; output past the cap is
// read and dropped; the end marker cannot be made from the history.
TEST_F(TerminalSessionTest, RunKeepsEarlierOutputCapsItsOwnAndSeesThroughForgedMarkers) {
  testing_support::Watchdog dog(90);
  ASSERT_TRUE(session_->run("(sleep 0.5; echo late-bg) &", within(20)));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_TRUE(session_->run("true", within(20)));
  EXPECT_NE(read_until(*session_, "late-bg").find("late-bg"), std::string::npos);

  auto capped = session_->run("head -c 300000 /dev/zero | tr '\\0' a", within(30), 1000);
  ASSERT_TRUE(capped) << capped.error().message;
  EXPECT_EQ(capped->output, std::string(1000, 'a'));
  EXPECT_EQ(session_->run("echo next", within(20))->output, "next\r\n");

  // The line is in the history: its token gives the start and await
  // marker, and a made-up end marker, both printed at once.
  ASSERT_TRUE(session_->run("HISTCONTROL=; HISTIGNORE=", within(20)));
  auto forged = session_->run(
      "l=$(history 1); t=${l#*__ferrowick }; t=${t%%-s*}; t=${t/ /}; echo tok=$t; "
      "printf 'fw-%s-w:0\\nfw-%s-e:0\\n' $t $t; (exit 5)",
      within(20));
  ASSERT_TRUE(forged) << forged.error().message;
  EXPECT_EQ(forged->status, 5);  // from the shell, after the command ended
  EXPECT_EQ(forged->output.size(), std::string("tok=\r\n").size() + 16) << forged->output;  // up to the await
  EXPECT_EQ(forged->output.rfind("tok=", 0), 0u);
}

TEST_F(TerminalSessionTest, LongLinesWithoutLineEditingAreRefused) {
  testing_support::Watchdog dog(60);
  const std::string long_echo = "echo " + std::string(5000, 'x');
  ASSERT_TRUE(session_->run("true", within(20)));  // line editing is on once the shell is up
  auto edited = session_->run(long_echo, within(20));
  ASSERT_TRUE(edited) << edited.error().message;
  EXPECT_EQ(edited->output, std::string(5000, 'x') + "\r\n");
  // Switching line editing drops the rest of the shell's line: not in run().
  ASSERT_TRUE(session_->write(bytes("set +o emacs +o vi; echo plain-$((1+1))\n"), within(5)));
  read_until(*session_, "plain-2");
  auto refused = session_->run(long_echo, within(20));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, Kind::kFailed);
  EXPECT_EQ(refused.error().message.rfind("The command is too long for the terminal without line editing: ", 0), 0u);
  EXPECT_EQ(session_->run("echo ok", within(20))->output, "ok\r\n");
}

// interrupt() acts on the foreground job, at once, and the next run() is
// not read by the job it interrupted.
TEST_F(TerminalSessionTest, InterruptStopsTheForegroundJobAndNotTheShell) {
  testing_support::Watchdog dog(120);
  ASSERT_TRUE(session_->run("true", within(20)));
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(session_->write(bytes("cat\n"), within(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(session_->interrupt());
    auto r = session_->run("echo done", within(5));
    ASSERT_TRUE(r) << "round " << round << ": " << r.error().message;
    EXPECT_EQ(r->output, "done\r\n");
  }
  // A job that does not read, with input queued behind it. Throwing that
  // input away is best effort (su may still hold some of it when the job
  // ends, and the shell then runs it); what holds is that the shell
  // survives and the next run() returns its own output, framed.
  ASSERT_TRUE(session_->write(bytes("sleep 30\n"), within(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string typed_ahead;
  for (int i = 0; i < 2000; ++i) typed_ahead += "echo typed-ahead\n";
  (void)session_->write(bytes(typed_ahead), within(0.5));
  auto stopped = session_->interrupt();
  ASSERT_TRUE(stopped) << stopped.error().message;
  auto after = session_->run("echo $((6 * 7))", within(60));
  ASSERT_TRUE(after) << after.error().message;
  EXPECT_EQ(after->output, "42\r\n");
  // An interpreter that survives Ctrl-C goes with a signal; the idle shell
  // is never the target. The terminal flushes its output after raising
  // SIGINT, so what the interpreter prints at once ("KeyboardInterrupt",
  // its prompt) may be lost: it shows it survived by answering a line.
  ASSERT_TRUE(session_->write(bytes("python3 -i\n"), within(5)));
  read_until(*session_, ">>> ");
  auto ctrl_c = session_->interrupt();
  ASSERT_TRUE(ctrl_c) << ctrl_c.error().message;
  EXPECT_NE(answer_until(*session_, "print(6 * 7)\n", "42\r\n").find("42\r\n"), std::string::npos);
  ASSERT_TRUE(session_->interrupt(SIGKILL));
  ASSERT_TRUE(session_->interrupt(SIGKILL));
  auto alive = session_->run("echo alive", within(20));
  ASSERT_TRUE(alive) << alive.error().message;
  EXPECT_EQ(alive->output, "alive\r\n");
}

TEST_F(TerminalSessionTest, AChosenEnvironmentIsAllTheShellGets) {
  testing_support::Watchdog dog(60);
  SpawnOptions options;
  options.env = std::vector<std::string>{"A=b"};
  auto session = spawn_terminal(user_, &options);
  ASSERT_TRUE(session) << session.error();
  auto env = (*session)->run("env | grep -v ^_= | sort", within(20));
  ASSERT_TRUE(env) << env.error().message;
  auto g = user_->lock();
  const std::string home = g->home(), name = g->username();
  EXPECT_EQ(env->output, "A=b\r\nHOME=" + home + "\r\nLOGNAME=" + name + "\r\nMAIL=/var/mail/" + name +
                             "\r\nPATH=/usr/local/bin:/usr/bin:/bin\r\nPWD=" + home +
                             "\r\nSHELL=/bin/bash\r\nSHLVL=1\r\nUSER=" + name + "\r\n");
}

}  // namespace
}  // namespace ferrowick
