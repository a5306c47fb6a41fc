// Hand-out and release of real host accounts. Needs root and the host's
// `id`, `useradd` and `pkill`; the accounts are the first names of the fixed
// sequence (test_UKUKKUUK, test_jii8OIPW) and stay on the host.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "pool/account_claims.h"
#include "pool/home_dir.h"
#include "pool/user_pool.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

namespace fs = std::filesystem;

const char* const kAllocFailed = "Failed to allocate a new user account";

struct Seen {
  std::string name;
  std::uint32_t uid;
  std::string home;
};

class UserPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_HOST_SUPPORT(); }

  // Allocates and checks the hand-out: a fresh, empty home owned (user and
  // group) by the account.
  static SharedUser alloc_checked(const SharedPool& pool, Seen* seen = nullptr) {
    auto user = alloc_user(pool);
    EXPECT_TRUE(user.has_value()) << user.error();
    if (!user) return nullptr;
    auto g = (*user)->lock();
    Seen s{g->username(), g->uid(), g->home()};
    EXPECT_EQ(s.home, fs::canonical(std::string(kHomeRoot) + "/" + s.name).string());
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(s.home)) && fs::is_empty(s.home));
    struct stat st {};
    EXPECT_EQ(::stat(s.home.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, s.uid);
    EXPECT_EQ(st.st_gid, s.uid);
    if (seen) *seen = s;
    return *user;
  }
  static std::pair<std::size_t, std::size_t> counts(const SharedPool& pool) {
    auto g = pool->lock();
    return {g->user.size(), g->free_user.size()};
  }
};

TEST_F(UserPoolTest, PoolsNeverShareAnAccountAndAFreedNameIsAdopted) {
  EXPECT_EQ(userid("root"), 0u);
  EXPECT_EQ(userid("ferrowick_no_such_user"), std::nullopt);
  const std::string first_name = NameGenerator().next_name();
  const bool quiet = !is_claimed(first_name);  // no other run holds it
  SharedPool pool = make_user_pool(4294967295u);  // a huge capacity costs nothing
  Seen first;
  SharedUser user = alloc_checked(pool, &first);
  ASSERT_TRUE(user);
  if (quiet) {
    EXPECT_EQ(first.name, first_name);
  }
  EXPECT_TRUE(is_claimed(first.name));
  EXPECT_EQ(userid(first.name), first.uid);
  EXPECT_EQ(counts(pool), std::make_pair(std::size_t{1}, std::size_t{0}));

  // A second pool passes over the name the first manages, free or not.
  Seen second;
  SharedPool other = make_user_pool(1);
  SharedUser held = alloc_checked(other, &second);
  EXPECT_NE(second.name, first.name);
  user.reset();
  EXPECT_TRUE(is_claimed(first.name));  // released, still the first pool's
  held.reset();
  other.reset();

  // Once its pool is gone the name is free again and a new pool adopts the
  // account: a `useradd` that fails is never run.
  pool.reset();
  testing_support::TempDir tools;
  tools.add_script("useradd", "exit 1");
  tools.add_real_tool("id");
  tools.add_real_tool("pkill");
  testing_support::ScopedPath path(tools.path());
  if (is_claimed(first.name)) GTEST_SKIP() << "another run took " << first.name << " meanwhile";
  Seen adopted;
  SharedUser again = alloc_checked(make_user_pool(1), &adopted);
  EXPECT_EQ(adopted.name, first.name);
  EXPECT_EQ(adopted.uid, first.uid);
}

TEST_F(UserPoolTest, CapacityOneHandsTheSameAccountOutCycleAfterCycle) {
  SharedPool pool = make_user_pool(1);
  std::optional<Seen> first;
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    Seen s;
    SharedUser user = alloc_checked(pool, &s);  // also: old content gone
    ASSERT_TRUE(user);
    if (first) {
      EXPECT_EQ(std::tie(s.name, s.uid), std::tie(first->name, first->uid));
    }
    first = s;
    auto refused = alloc_user(pool);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), kAllocFailed);
    std::ofstream(s.home + "/left_behind") << "old content";
  }
  EXPECT_EQ(counts(pool), std::make_pair(std::size_t{1}, std::size_t{1}));
  SharedPool none = make_user_pool(0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(alloc_user(none).error(), kAllocFailed);
  EXPECT_EQ(counts(none), std::make_pair(std::size_t{0}, std::size_t{0}));
}

TEST_F(UserPoolTest, ConcurrentHandOutsNeverShareAnAccountOrExceedCapacity) {
  SharedPool pool = make_user_pool(2);
  std::mutex mu;
  std::set<std::string> held;
  std::size_t most = 0;
  auto worker = [&] {
    for (int i = 0; i < 4; ++i) {
      auto user = alloc_user(pool);
      if (!user) {
        EXPECT_EQ(user.error(), kAllocFailed);
        continue;
      }
      std::string name = (*user)->lock()->username();
      {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_TRUE(held.insert(name).second) << name << " handed out twice";
        most = std::max(most, held.size());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::lock_guard<std::mutex> lock(mu);
      held.erase(name);
      user->reset();  // released under `mu`: the name is free only now
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker);
  for (std::thread& t : threads) t.join();
  EXPECT_LE(most, 2u);
  auto [all, free] = counts(pool);
  EXPECT_LE(all, 2u);
  EXPECT_EQ(free, all);  // every account came back
}

TEST_F(UserPoolTest, AnAccountThatCannotBePreparedIsSetAsideForTheNextName) {
  SharedPool pool = make_user_pool(1);
  Seen s;
  alloc_checked(pool, &s);  // made, released at once
  const std::pair<void (*)(const std::string&), const char*> cases[] = {
      {[](const std::string& h) { std::ofstream(h) << "x"; },
       "Failed to remove the existing temporary home directory"},
      {[](const std::string& h) { fs::create_symlink("/nonexistent/ferrowick", h); },
       "Failed to create the temporary home directory"},
  };
  for (const auto& [plant, error] : cases) {
    SCOPED_TRACE(error);
    fs::remove_all(s.home);
    plant(s.home);
    ::testing::internal::CaptureStderr();
    Seen next;
    SharedUser user = alloc_checked(pool, &next);
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find(s.name + ": " + error), std::string::npos) << reported;
    ASSERT_TRUE(user);
    EXPECT_NE(next.name, s.name);
    {
      auto g = pool->lock();
      EXPECT_EQ(g->user.size(), 1u);  // capacity holds: the set-aside one no longer counts
      ASSERT_EQ(g->set_aside.size(), 1u);
      EXPECT_EQ(g->set_aside[0].username, s.name);
    }
    EXPECT_TRUE(is_claimed(s.name));  // nobody else takes it up meanwhile
    fs::remove(s.home);
    // Later pools try it again.
    user.reset();
    pool = make_user_pool(1);
    Seen retried;
    alloc_checked(pool, &retried);
    EXPECT_EQ(retried.name, s.name);
  }
}

}  // namespace
}  // namespace ferrowick
