// The launcher: host commands with captured output, children on pipes.
#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "common/unique_fd.h"
#include "pool/child_process.h"
#include "pool/host_command.h"
#include "pool/launcher.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

TEST(RunHostCommand, CapturesBothStreamsInFull) {
  // Far more than a pipe holds on both streams: draining only one would hang.
  auto run = run_host_command(
      {"sh", "-c", "i=0; while [ $i -lt 20000 ]; do echo o$i; echo e$i >&2; i=$((i+1)); done; exit 7"});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->exit_code(), 7);
  EXPECT_EQ(run->out.substr(0, 3), "o0\n");
  EXPECT_NE(run->out.find("\no19999\n"), std::string::npos);
  EXPECT_NE(run->err.find("\ne19999\n"), std::string::npos);
  EXPECT_EQ(run->out.find('e'), std::string::npos);
}

TEST(RunHostCommand, WordsStdinAndEndings) {
  testing_support::Watchdog dog(10);  // `cat` on an inherited terminal would wait
  auto words = run_host_command({"printf", "%s|", "two words", "$HOME", "*"});
  ASSERT_TRUE(words.has_value());
  EXPECT_EQ(words->out, "two words|$HOME|*|");
  EXPECT_TRUE(words->success());
  auto cat = run_host_command({"cat"});
  ASSERT_TRUE(cat.has_value());
  EXPECT_EQ(cat->out, "");
  auto killed = run_host_command({"sh", "-c", "kill -9 $$"});
  ASSERT_TRUE(killed.has_value());
  EXPECT_EQ(killed->exit_code(), std::nullopt);
  EXPECT_EQ(run_host_command({"ferrowick-no-such-tool"}).error(), ENOENT);
  EXPECT_EQ(spawn_with_pipes({"ferrowick-no-such-tool"}).error(), ENOENT);
}

TEST(Launcher, ChildrenGetOnlyTheirThreeDescriptors) {
  // Neither a descriptor opened without close-on-exec nor another child's
  // pipes may reach a child.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  auto other = spawn_with_pipes({"cat"});
  ASSERT_TRUE(stray.valid() && other.has_value());
  auto run = run_host_command({"ls", "/proc/self/fd"});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->out, "0\n1\n2\n3\n");  // 3 is the directory ls reads
  auto child = spawn_with_pipes({"sh", "-c", "ls /proc/$$/fd"});
  ASSERT_TRUE(child.has_value());
  char buf[64];
  ssize_t n = ::read(child->stdout_fd(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "0\n1\n2\n");
}

TEST(Launcher, ChildStartsWithEmptyMaskAndDefaultActions) {
  testing_support::ScopedIgnoreSigpipe ignore;
  struct sigaction ign_int {}, old_int {};
  ign_int.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGINT, &ign_int, &old_int), 0);  // as in a background job
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  auto run = run_host_command({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::sigaction(SIGINT, &old_int, nullptr);
  ASSERT_TRUE(run.has_value());
  ASSERT_EQ(run->out.substr(0, 8), "SigBlk:\t");
  EXPECT_EQ(std::stoull(run->out.substr(8), nullptr, 16), 0u);
  std::size_t ign = run->out.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos);
  EXPECT_EQ(std::stoull(run->out.substr(ign + 8), nullptr, 16), 0u);
}

TEST(Launcher, DroppedChildIsKilledAndReaped) {
  pid_t pid;
  {
    auto child = spawn_with_pipes({"sleep", "1000"});
    ASSERT_TRUE(child.has_value());
    pid = child->pid();
    ChildProcess moved = std::move(*child);  // the moved-from one owns nothing
  }
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(Launcher, WaitSurvivesInterruptions) {
  struct sigaction sa {}, old{};
  sa.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);  // no SA_RESTART: waitpid sees EINTR
  auto child = spawn_with_pipes({"sleep", "0.5"});
  ASSERT_TRUE(child.has_value());
  ::ualarm(50000, 50000);
  int rc = child->wait();
  ::ualarm(0, 0);
  ::sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(child->reaped() && WIFEXITED(child->wait_status()));
  EXPECT_EQ(child->kill(SIGKILL), 0);  // no signal to a reaped child's old pid
}

TEST(Launcher, TheReapedChildReportsWhatItAndItsReapedChildrenUsed) {
  // The shell waits for its busy child, so the child's CPU time counts too.
  auto child = spawn_with_pipes({"sh", "-c", "i=0; while [ $i -lt 30000 ]; do i=$((i+1)); done & wait"});
  ASSERT_TRUE(child.has_value());
  ASSERT_EQ(child->wait(), 0);
  const struct rusage& ru = child->rusage();
  EXPECT_GT(ru.ru_utime.tv_sec * 1000000 + ru.ru_utime.tv_usec + ru.ru_stime.tv_sec * 1000000 + ru.ru_stime.tv_usec,
            10000);
  EXPECT_GT(ru.ru_maxrss, 0);
}

// A process that waits for SIGKILL under the given pid, made by a helper
// child (so it is not a child of the test), or -1 when the pid is taken.
struct Stranger {
  pid_t pid = -1;
  pid_t helper = -1;

  explicit Stranger(pid_t wanted) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    helper = ::fork();
    if (helper == 0) {
      clone_args args{};
      args.exit_signal = SIGCHLD;
      args.set_tid = reinterpret_cast<std::uint64_t>(&wanted);
      args.set_tid_size = 1;
      long got = ::syscall(SYS_clone3, &args, sizeof args);
      if (got == 0) {
        for (;;) ::pause();
      }
      char ok = got > 0 ? 1 : 0;
      (void)!::write(ready[1], &ok, 1);
      if (got > 0) ::waitpid(static_cast<pid_t>(got), nullptr, 0);
      ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    if (helper > 0 && ::read(ready[0], &ok, 1) == 1 && ok) pid = wanted;
    ::close(ready[0]);
  }
  ~Stranger() {
    if (pid > 0) ::kill(pid, SIGKILL);  // ours: made above under this pid
    if (helper > 0) ::waitpid(helper, nullptr, 0);
  }
  bool alive() const {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
  }
};

TEST(Launcher, APidReapedElsewhereAndReusedIsNeverSignalled) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to choose a pid";
  for (bool through_pidfd : {true, false}) {
    SCOPED_TRACE(through_pidfd ? "through the pidfd" : "held by pid only");
    auto spawned = spawn_with_pipes({"sleep", "1000"});
    ASSERT_TRUE(spawned.has_value());
    const pid_t pid = spawned->pid();
    EXPECT_EQ(spawned->pidfd() >= 0, true);
    std::optional<ChildProcess> by_pid;
    if (!through_pidfd) by_pid.emplace(pid, UniqueFd(), UniqueFd(), UniqueFd(), UniqueFd());
    ChildProcess& child = through_pidfd ? *spawned : *by_pid;
    // A SIGCHLD handler elsewhere in the process reaps the child ...
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    // ... and the kernel hands its pid to another process.
    Stranger stranger(pid);
    if (stranger.pid < 0) GTEST_SKIP() << "pid " << pid << " was taken before the test could reuse it";
    EXPECT_EQ(child.kill(SIGKILL), ESRCH);
    EXPECT_TRUE(stranger.alive());
    EXPECT_EQ(child.wait(), ECHILD);
    EXPECT_TRUE(child.reaped() && child.lost());
  }
}

}  // namespace
}  // namespace ferrowick
