// Commands run as a pool account without a terminal: the output cap, the
// /proc parsing and program search they rest on, and (with root) launching,
// streams, timeouts and the tree kill.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "pool/account_processes.h"
#include "pool/capped_output.h"
#include "pool/command_process.h"
#include "pool/command_tree.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

using testing_support::bytes;

// The cap keeps exactly the first max/2 and the last max - max/2 bytes,
// whatever the chunking.
TEST(CappedOutputTest, KeepsHeadAndTailUnderEveryChunking) {
  std::string stream;
  for (int i = 0; i < 5000; ++i) stream += static_cast<char>('a' + i % 23);
  std::mt19937 rng(7);
  for (std::size_t max : {0u, 1u, 2u, 7u, 100u, 4999u, 5000u, 5001u, 100000u}) {
    for (int round = 0; round < 20; ++round) {
      CappedOutput cap(max);
      std::size_t pos = 0;
      while (pos < stream.size()) {
        std::size_t n = std::min<std::size_t>(stream.size() - pos, round == 0 ? stream.size() : rng() % 700 + 1);
        cap.append(std::string_view(stream).substr(pos, n));
        pos += n;
      }
      const std::string want = stream.size() <= max ? stream
                                                    : stream.substr(0, max / 2) +
                                                          stream.substr(stream.size() - (max - max / 2));
      EXPECT_EQ(cap.truncated(), stream.size() > max) << max;
      EXPECT_EQ(cap.take(), want) << "max " << max << " round " << round;
    }
  }
  CappedOutput unlimited;
  unlimited.append(stream);
  EXPECT_FALSE(unlimited.truncated());
  EXPECT_EQ(unlimited.take(), stream);
}

TEST(CommandTreeTest, ParsesProcStat) {
  struct Case {
    const char* text;
    bool ok;
    ProcStat want;
  } cases[] = {
      {"42 (bash) S 1 42 42 0 -1 4194560", true, {42, 'S', 1, 42}},
      {"7 (a b) c) Z 6 5 4 0", true, {7, 'Z', 6, 4}},  // a name holding ") "
      {"9 ()) R 8 9 3", true, {9, 'R', 8, 3}},
      {"9 (x) R 8", false, {}},
      {"garbage", false, {}},
  };
  for (const Case& c : cases) {
    ProcStat got;
    ASSERT_EQ(parse_proc_stat(c.text, got), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(got.pid, c.want.pid) << c.text;
    EXPECT_EQ(got.state, c.want.state) << c.text;
    EXPECT_EQ(got.ppid, c.want.ppid) << c.text;
    EXPECT_EQ(got.session, c.want.session) << c.text;
  }
}

TEST(CommandLaunchTest, SearchesTheCommandsOwnPath) {
  using V = std::vector<std::string>;
  EXPECT_EQ(program_candidates("ls", "/a:/b"), (V{"/a/ls", "/b/ls"}));
  EXPECT_EQ(program_candidates("ls", "/a::"), (V{"/a/ls", "./ls", "./ls"}));
  EXPECT_EQ(program_candidates("./x", "/a"), (V{"./x"}));
  EXPECT_EQ(program_candidates("/bin/ls", "/a"), (V{"/bin/ls"}));
}

class CommandTest : public testing_support::AccountTest {
 protected:

  Expected<std::unique_ptr<CommandProcess>, CommandStartError> start(std::vector<std::string> argv,
                                                                     bool with_stdin = true) {
    CommandSpec spec;
    spec.argv = std::move(argv);
    return start_command(user_, spec, with_stdin);
  }
  CommandOutcome run(const std::string& script, std::optional<double> timeout = std::nullopt,
                     std::optional<std::size_t> max = std::nullopt, std::string_view input = {}) {
    auto p = start({"/bin/bash", "-c", script}, !input.empty());
    EXPECT_TRUE(p.has_value());
    WaitLimits limits;
    if (timeout) limits.deadline = deadline_after(*timeout);
    auto r = (*p)->run_to_end(bytes(input), max, limits);
    EXPECT_TRUE(r.has_value());
    return r ? *r : CommandOutcome{};
  }
  std::size_t live_processes() { return processes_of(uid_).live.size(); }

  testing_support::ScopedIgnoreSigpipe no_sigpipe_;
};

TEST_F(CommandTest, RunsAsTheAccountInItsHomeWithSeparateStreams) {
  auto r = run("echo hi; echo err >&2; id -u; pwd; env | sort | tr '\\n' ' '; exit 3");
  const std::string home = user_->lock()->home(), name = user_->lock()->username();
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "hi\n" + std::to_string(uid_) + "\n" + home + "\nHOME=" + home + " LANG=C.UTF-8 LOGNAME=" + name +
                       " PATH=/usr/local/bin:/usr/bin:/bin PWD=" + home + " SHELL=/bin/bash SHLVL=1 USER=" + name +
                       " _=/usr/bin/env ");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_FALSE(r.timed_out || r.truncated);
  EXPECT_EQ(run("kill -TERM $$").status, -SIGTERM);
  // A session of its own: no controlling terminal, leader of its group.
  std::istringstream ids(run("echo $$; ps -o sid=,pgid=,tty= -p $$").out);
  std::string pid, sid, pgid, tty;
  ids >> pid >> sid >> pgid >> tty;
  EXPECT_EQ(sid, pid);
  EXPECT_EQ(pgid, pid);
  EXPECT_EQ(tty, "?");
}

TEST_F(CommandTest, LaunchFailuresNameTheStepAndErrno) {
  testing_support::TempDir dir;  // root's 0700 directory: the account may not enter it
  struct Case {
    std::vector<std::string> argv;
    std::optional<std::string> cwd;
    std::vector<std::pair<int, rlim_t>> limits;
    LaunchStep step;
    int err;
  } cases[] = {
      {{"no-such-program"}, {}, {}, LaunchStep::kExec, ENOENT},
      {{"/etc/passwd"}, {}, {}, LaunchStep::kExec, EACCES},
      {{"true"}, "/no/such/dir", {}, LaunchStep::kCwd, ENOENT},
      {{"true"}, "/etc/passwd", {}, LaunchStep::kCwd, ENOTDIR},
      {{"true"}, dir.path(), {}, LaunchStep::kCwd, EACCES},
      {{"true"}, {}, {{RLIMIT_NLIMITS + 5, 1}}, LaunchStep::kLimits, EINVAL},
  };
  for (const Case& c : cases) {
    CommandSpec spec{c.argv, c.cwd, {}, c.limits, {}};
    auto p = start_command(user_, spec, false);
    ASSERT_FALSE(p.has_value()) << c.argv[0];
    EXPECT_EQ(p.error().launch.step, c.step) << c.argv[0];
    EXPECT_EQ(p.error().launch.err, c.err) << c.argv[0];
  }
}

// A command gets its account's confinement as the account's sessions do;
// the fixture's unconfined account shows each check can fail.
TEST_F(CommandTest, ACommandOfAConfinedPoolIsConfinedAsItsSessions) {
  SharedPool pool = make_user_pool(1, Confinement{.network = false, .host_processes = false, .setuid_programs = false});
  auto confined = alloc_user(pool);
  ASSERT_TRUE(confined.has_value()) << confined.error();
  const char* script =
      "grep NoNewPrivs /proc/self/status; tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' ' | sort | tr '\\n' ,;"
      " echo; ps -e -o uid= | tr -d ' ' | sort -u | tr '\\n' ,";
  CommandSpec spec;
  spec.argv = {"/bin/bash", "-c", script};
  auto p = start_command(*confined, spec, false);
  ASSERT_TRUE(p.has_value());
  auto r = (*p)->run_to_end({}, std::nullopt, WaitLimits{deadline_after(20), {}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->out, "NoNewPrivs:\t1\nlo,\n" + std::to_string((*confined)->lock()->uid()) + ",");
  auto open = run(script);
  EXPECT_NE(open.out.substr(0, 14), "NoNewPrivs:\t1\n");
  EXPECT_NE(open.out, r->out);
}

TEST_F(CommandTest, AReleasedAccountStartsNothing) {
  release_user(*user_);
  auto p = start({"true"});
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().message, "The account was released");
}

TEST_F(CommandTest, InputOutputCapAndExitThroughTheLoop) {
  std::string input(1 << 20, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 % 251);
  auto echoed = run("cat", std::nullopt, std::nullopt, input);
  EXPECT_EQ(echoed.out, input);
  // Far more output than the cap: kept at the cap, the command not blocked.
  auto big = run("head -c 20000000 /dev/zero; echo -n end; head -c 3000000 /dev/zero >&2", std::nullopt, 1 << 20);
  EXPECT_TRUE(big.truncated);
  EXPECT_EQ(big.out.size(), std::size_t{1} << 20);
  EXPECT_EQ(big.out.substr(big.out.size() - 3), "end");
  EXPECT_EQ(big.err.size(), std::size_t{1} << 20);
  EXPECT_EQ(big.status, 0);
}

TEST_F(CommandTest, TimeoutKillsTheWholeTree) {
  const char* scripts[] = {
      "sleep 1000 & setsid sleep 1000 & sleep 1000",   // a new session below the command
      "(sleep 1000 &); (setsid sleep 1000 &); sleep 1000",  // orphans, one in a session of its own
      "exec >&- 2>&-; sleep 1000",                      // streams closed early
  };
  for (const char* script : scripts) {
    auto began = std::chrono::steady_clock::now();
    auto r = run(script, 0.3);
    EXPECT_TRUE(r.timed_out) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500)) << script;
    EXPECT_EQ(live_processes(), 0u) << script;
  }
}

// Through the command's groups: a process that left the command's sessions
// and was orphaned once the leader had exited, which nothing in /proc ties
// to the command any more. (setsid forks, as the leader already leads its
// session, and the leader exits at once; the double fork orphans the
// sleeper, which holds the streams.)
TEST_F(CommandTest, TimeoutKillsWhatLeftTheSessionsAndWasOrphaned) {
  if (session_cgroup_host().tree_kill.mech == CgroupMech::kNone)
    GTEST_SKIP() << "no way to kill a tree here: " << session_cgroup_host().tree_kill.reason;
  auto p = start({"/bin/bash", "-c", "setsid bash -c '(sleep 1000 &)'"}, false);
  ASSERT_TRUE(p.has_value());
  auto r = (*p)->run_to_end({}, std::nullopt, WaitLimits{deadline_after(0.3), {}});
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->timed_out);
  EXPECT_EQ(r->status, 0);  // the leader had ended on its own
  EXPECT_EQ(live_processes(), 0u);  // by the timeout's kill, before close() removes the groups
}

// The tree-wide memory limit holds for the command, the kernel's kill shows
// in the figures, and they stay readable, frozen, once the process is closed.
TEST_F(CommandTest, TheTreeWideLimitAndTheUsageAreTheGroups) {
  const CgroupHost& host = session_cgroup_host();
  if (host.memory.mech == CgroupMech::kNone) GTEST_SKIP() << host.memory.reason;
  CommandSpec spec;
  spec.argv = {"/bin/bash", "-c", "x=$(head -c 200000000 /dev/zero | tr '\\0' a); echo survived"};
  spec.group.memory = 64 << 20;
  auto p = start_command(user_, spec, false);
  ASSERT_TRUE(p.has_value());
  auto r = (*p)->run_to_end({}, std::nullopt, WaitLimits{deadline_after(20), {}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, -SIGKILL);
  EXPECT_EQ(r->out, "");
  EXPECT_STREQ(r->usage.source, cgroup_mech_name(host.usage.mech));
  EXPECT_GE(r->usage.oom_kills, 1u);
  EXPECT_LE(r->usage.peak_memory, std::uint64_t{64} << 20);
  EXPECT_GT(r->usage.cpu_time, 0.0);
  (*p)->close();
  const CgroupUsage end = (*p)->usage();
  EXPECT_EQ(end.oom_kills, r->usage.oom_kills);
  EXPECT_GE(end.cpu_time, r->usage.cpu_time);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ((*p)->usage().cpu_time, end.cpu_time);  // frozen
}

TEST_F(CommandTest, BackgroundProcessStreamsKillAndClose) {
  auto started = start({"/bin/bash", "-c", "cat; echo done >&2; sleep 1000"});
  ASSERT_TRUE(started.has_value());
  CommandProcess& p = **started;
  std::uint8_t buf[64];
  ASSERT_TRUE(p.write(bytes("ping\n"), {}));
  EXPECT_EQ(p.read(CommandProcess::Stream::kStdout, buf, {}).value(), 5u);
  ASSERT_TRUE(p.close_stdin());
  EXPECT_EQ(p.read(CommandProcess::Stream::kStderr, buf, {}).value(), 5u);
  EXPECT_EQ(p.write(bytes("x"), {}).error().message, "The standard input is closed");
  EXPECT_FALSE(p.returncode());
  auto timed = p.wait(WaitLimits{deadline_after(0.05), {}});
  EXPECT_EQ(timed.error().kind, SessionError::Kind::kTimedOut);
  // kill() wakes a blocked read, which then sees the end.
  std::thread reader([&] { EXPECT_EQ(p.read(CommandProcess::Stream::kStdout, buf, {}).value(), 0u); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  p.kill();
  reader.join();
  EXPECT_EQ(p.wait({}).value(), -SIGKILL);
  EXPECT_EQ(live_processes(), 0u);
  p.close();
  EXPECT_EQ(p.read(CommandProcess::Stream::kStdout, buf, {}).error().message, "The process is closed");
  EXPECT_EQ(p.wait({}).value(), -SIGKILL);  // the status outlives the close
}

TEST_F(CommandTest, CloseStdinWakesABlockedWriterAndReadersShareAStream) {
  auto sleeper = start({"sleep", "1000"});
  ASSERT_TRUE(sleeper.has_value());
  std::string big(std::size_t{4} << 20, 'x');  // far more than a pipe holds
  std::thread writer([&] {
    auto r = (*sleeper)->write(bytes(big), {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "The standard input is closed");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE((*sleeper)->close_stdin());
  writer.join();

  // Two readers of one stream: every byte reaches exactly one of them, and
  // neither is left blocked once the stream ends.
  auto talker = start({"head", "-c", "3000000", "/dev/zero"}, false);
  ASSERT_TRUE(talker.has_value());
  std::atomic<std::size_t> total{0};
  auto drain = [&] {
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
      auto n = (*talker)->read(CommandProcess::Stream::kStdout, buf, WaitLimits{deadline_after(20), {}});
      ASSERT_TRUE(n.has_value());
      if (*n == 0) return;
      total += *n;
    }
  };
  std::thread a(drain), b(drain);
  a.join();
  b.join();
  EXPECT_EQ(total.load(), 3000000u);
  EXPECT_EQ((*talker)->wait({}).value(), 0);
}

TEST_F(CommandTest, AStopRequestedByTheCheckKillsTheTree) {
  auto p = start({"/bin/bash", "-c", "sleep 1000 & sleep 1000"}, false);
  ASSERT_TRUE(p.has_value());
  int calls = 0;
  auto r = (*p)->run_to_end({}, std::nullopt, WaitLimits{std::nullopt, [&] { return ++calls < 2; }});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, SessionError::Kind::kInterrupted);
  p->reset();
  EXPECT_EQ(live_processes(), 0u);
}

}  // namespace
}  // namespace ferrowick
