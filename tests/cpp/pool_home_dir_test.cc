// Home preparation under a private root, so that leftovers of every kind
// can be planted without touching the real /tmp/tmp_user_home.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "pool/home_dir.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

namespace fs = std::filesystem;

class HomeDirTest : public ::testing::Test {
 protected:
  const std::uint32_t uid_ = ::geteuid();  // anyone may chown to themselves
  testing_support::TempDir tmp_;
  std::string root_ = tmp_.path() + "/homes";
  std::string home_ = root_ + "/test_abc";
  std::string outside_ = tmp_.path() + "/outside";

  void SetUp() override {
    fs::create_directories(outside_ + "/dir");
    std::ofstream(outside_ + "/file") << "precious";
  }
  Expected<std::string, std::string> prepare() { return prepare_home_in(root_, "test_abc", uid_); }
  void expect_untouched_outside() {
    EXPECT_TRUE(fs::is_directory(outside_ + "/dir"));
    EXPECT_EQ(fs::file_size(outside_ + "/file"), 8u);
  }
};

TEST_F(HomeDirTest, OldHomeGoesWithContentButNeverThroughLinks) {
  fs::create_directories(home_ + "/a/b/c");
  std::ofstream(home_ + "/a/b/c/deep") << "x";
  std::ofstream(home_ + "/.hidden") << "x";
  fs::create_symlink(outside_ + "/file", home_ + "/a/file_link");
  fs::create_directory_symlink(outside_ + "/dir", home_ + "/a/b/dir_link");
  fs::create_symlink("/nonexistent", home_ + "/dangling");
  ::mkfifo((home_ + "/fifo").c_str(), 0600);
  auto home = prepare();
  ASSERT_TRUE(home.has_value()) << home.error();
  EXPECT_EQ(*home, fs::canonical(home_).string());
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(home_)) && fs::is_empty(home_));
  struct stat st;
  ASSERT_EQ(::stat(home_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid_);
  EXPECT_EQ(st.st_gid, uid_);
  expect_untouched_outside();
}

TEST_F(HomeDirTest, WhatSitsAtTheHomePath) {
  struct Case {
    const char* what;
    void (*plant)(const std::string& home, const std::string& outside);
    const char* error;  // nullptr: replaced by a fresh directory
  } cases[] = {
      {"link to a directory", [](auto& h, auto& o) { fs::create_directory_symlink(o + "/dir", h); }, nullptr},
      {"link to a file", [](auto& h, auto& o) { fs::create_symlink(o + "/file", h); }, nullptr},
      {"plain file", [](auto& h, auto&) { std::ofstream(h) << "x"; },
       "Failed to remove the existing temporary home directory"},
      {"fifo", [](auto& h, auto&) { ::mkfifo(h.c_str(), 0600); },
       "Failed to remove the existing temporary home directory"},
      {"dangling link", [](auto& h, auto&) { fs::create_symlink("/nonexistent/x", h); },
       "Failed to create the temporary home directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root_);
    fs::create_directories(root_);
    c.plant(home_, outside_);
    auto home = prepare();
    if (c.error) {
      ASSERT_FALSE(home.has_value());
      EXPECT_EQ(home.error(), c.error);
      EXPECT_TRUE(fs::exists(fs::symlink_status(home_)));  // left where it was
    } else {
      ASSERT_TRUE(home.has_value()) << home.error();
      EXPECT_TRUE(fs::is_directory(fs::symlink_status(home_)) && fs::is_empty(home_));
    }
    expect_untouched_outside();
  }
}

TEST_F(HomeDirTest, HomesArePrivateWhateverTheUmask) {
  for (mode_t mask : {000, 002, 022, 0777}) {
    SCOPED_TRACE(mask);
    const mode_t old = ::umask(mask);
    auto home = prepare();
    ::umask(old);
    ASSERT_TRUE(home.has_value()) << home.error();
    struct stat st;
    ASSERT_EQ(::stat(home_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(root_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // nobody else adds or renames homes
  }
}

TEST_F(HomeDirTest, RootThatIsALinkAFileOrForeignIsRefused) {
  const std::string outside_homes = outside_ + "/homes";
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string error;
  } cases[] = {
      {"file", [&] { std::ofstream(root_) << "x"; },
       "Failed to create the parent folder of the temporary home directory"},
      {"link", [&] { fs::create_directory_symlink(outside_ + "/dir", root_); },
       "The home root " + root_ + " is a symbolic link; refusing to use it"},
      {"foreign", [&] { fs::create_directory(root_), (void)::chown(root_.c_str(), 48612, 48612); },
       "The home root " + root_ + " is owned by uid 48612, not root; refusing to use it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string_view(c.what) == "foreign" && ::geteuid() != 0) continue;
    fs::remove_all(root_);
    c.plant();
    auto home = prepare();
    ASSERT_FALSE(home.has_value());
    EXPECT_EQ(home.error(), c.error);
    EXPECT_FALSE(fs::exists(outside_ + "/dir/test_abc"));
    fs::remove_all(root_);
  }
}

}  // namespace
}  // namespace ferrowick
