// How the pool reacts to its host tools misbehaving: stand-in `id`,
// `useradd` scripts on a private PATH, or no tool at all.
#include <filesystem>

#include "pool/user_pool.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

using testing_support::ScopedPath;

constexpr std::uint32_t kIdleUid = 3999999;  // no process runs as it

std::vector<std::string> g_drop_panics;
void record_drop_panic(const Panic& p) { g_drop_panics.push_back(p.message()); }

class HostToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_drop_panics.clear();
    set_drop_panic_hook(&record_drop_panic);
  }
  void TearDown() override { set_drop_panic_hook(nullptr); }

  // The panic alloc_user ends with, or "" when it returns.
  static std::string alloc_panic(const SharedPool& pool) {
    try {
      (void)alloc_user(pool);
    } catch (const Panic& p) {
      return p.message();
    }
    return "";
  }

  testing_support::TempDir tools_;
};

TEST_F(HostToolsTest, AccountCreationFailuresAreReportedAndRecordNothing) {
  struct Case {
    const char* id;
    const char* useradd;
    const char* report;  // expected on stderr
  } cases[] = {
      {"exit 1", "echo 'useradd: cannot lock /etc/passwd' >&2; exit 1",
       "Failed to create the user account: useradd: cannot lock /etc/passwd\n\n"},
      {"exit 1", "printf '\\377' >&2; exit 1", "Failed to create the user account: \n"},
      {"exit 1", "kill -9 $$", "Failed to create the user account: \n"},
      {"exit 1", "exit 0", ""},  // created, yet still no uid
      {"printf '10\\377\\n'", "exit 0",  // looked up before and after useradd
       "Failed to convert the result back to a valid utf-8 string\n"
       "Failed to convert the result back to a valid utf-8 string\n"},
      {"echo 0", "exit 0", ""},  // root is never adopted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " / " + c.useradd);
    tools_.add_script("id", c.id);
    tools_.add_script("useradd", c.useradd);
    SharedPool pool = make_user_pool(4);
    ScopedPath path(tools_.path());
    ::testing::internal::CaptureStderr();
    auto user = alloc_user(pool);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.report);
    ASSERT_FALSE(user.has_value());
    EXPECT_EQ(user.error(), "Failed to allocate a new user account");
    EXPECT_TRUE(pool->lock()->user.empty());
  }
}

TEST_F(HostToolsTest, MissingToolsAbortAndPoisonThePool) {
  SharedPool pool = make_user_pool(4);
  auto held = std::make_shared<Mutex<User>>(std::in_place, "test_held", kIdleUid, "/nonexistent", pool, SweepMark{});
  {
    ScopedPath path(tools_.path());  // empty: no `id`
    EXPECT_EQ(alloc_panic(pool), "Failed to execute the command `id`");
  }
  EXPECT_EQ(alloc_panic(pool), kPoisonedLock);
  held.reset();  // release meets the poisoned lock inside a destructor
  EXPECT_EQ(g_drop_panics, std::vector<std::string>{kPoisonedLock});

  tools_.add_script("id", "exit 1");
  SharedPool other = make_user_pool(4);
  ScopedPath path(tools_.path());
  EXPECT_EQ(alloc_panic(other), "Failed to execute the command `useradd`");
  EXPECT_TRUE(other->is_poisoned());
}

TEST_F(HostToolsTest, ReleaseNeedsNoHostTool) {
  // Nothing on PATH: a release that started a tool would report its failure.
  ScopedPath path(tools_.path());
  ::testing::internal::CaptureStderr();
  { User user("test_idle", kIdleUid, "/nonexistent", nullptr, SweepMark{}); }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace ferrowick
