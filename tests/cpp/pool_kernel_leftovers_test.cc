// POSIX message queues and keyrings of an account, removed without any of
// its processes. Entries are given to an arbitrary uid that runs nothing
// but the short children made here. Needs root.
#include <fcntl.h>
#include <linux/keyctl.h>
#include <mqueue.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "pool/kernel_leftovers.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

constexpr uid_t kTenant = 48613;

// Runs `f` in a child that has taken kTenant's uid; its exit code (or -1).
template <class F>
int as_tenant(F f) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::syscall(SYS_setresuid, kTenant, kTenant, kTenant) != 0) ::_exit(100);
    ::_exit(f());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

long add_secret() {
  return ::syscall(SYS_add_key, "user", "ferrowick-test-secret", "s3cret", 6, KEY_SPEC_USER_KEYRING);
}
long find_secret() {
  return ::syscall(SYS_keyctl, KEYCTL_SEARCH, KEY_SPEC_USER_KEYRING, "user", "ferrowick-test-secret", 0);
}

TEST(KernelLeftovers, TheUidsMessageQueuesGoOthersStay) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a queue away";
  const std::string tag = "/ferrowick-test-" + std::to_string(::getpid());
  const std::string mine = tag + "-mine", kept = tag + "-kept";
  mqd_t q = ::mq_open(mine.c_str(), O_CREAT | O_RDWR, 0600, nullptr);
  ASSERT_NE(q, static_cast<mqd_t>(-1));
  ASSERT_EQ(::fchown(q, kTenant, kTenant), 0);
  ::mq_close(q);
  q = ::mq_open(kept.c_str(), O_CREAT | O_RDWR, 0600, nullptr);
  ASSERT_NE(q, static_cast<mqd_t>(-1));
  ::mq_close(q);

  EXPECT_EQ(remove_message_queues_of(kTenant), std::vector<std::string>{});
  EXPECT_EQ(::mq_open(mine.c_str(), O_RDWR), static_cast<mqd_t>(-1));
  EXPECT_EQ(errno, ENOENT);
  q = ::mq_open(kept.c_str(), O_RDWR);
  EXPECT_NE(q, static_cast<mqd_t>(-1));
  ::mq_close(q);
  ::mq_unlink(kept.c_str());
}

// The keys of `uid` that /proc/key-users counts, or -1.
int key_count(uid_t uid) {
  std::ifstream in("/proc/key-users");
  const std::string prefix = std::to_string(uid) + ":";
  for (std::string word; in >> word;) {
    if (word != prefix) continue;
    int usage = 0, keys = 0;
    in >> usage >> keys;
    return keys;
  }
  return -1;
}

TEST(KernelLeftovers, TheUidsKeyringsAreEmptied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
  ASSERT_EQ(as_tenant([] { return add_secret() > 0 ? 0 : 1; }), 0);
  ASSERT_EQ(as_tenant([] { return find_secret() > 0 ? 0 : 1; }), 0);  // it outlives its maker
  ASSERT_TRUE(has_keys(kTenant));

  EXPECT_EQ(remove_keys_of(kTenant), std::vector<std::string>{});
  EXPECT_EQ(::getuid(), 0u);  // the process kept its own uid
  EXPECT_EQ(as_tenant([] { return find_secret() < 0 && errno == ENOKEY ? 0 : 1; }), 0);
  // The unlinked secret is collected in the background, soon after; the
  // two empty keyrings stay.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (key_count(kTenant) > 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(key_count(kTenant), 2);
  EXPECT_EQ(as_tenant([] { return add_secret() > 0 ? 0 : 1; }), 0);  // the next tenant has keyrings
  remove_keys_of(kTenant);
}

}  // namespace
}  // namespace ferrowick
