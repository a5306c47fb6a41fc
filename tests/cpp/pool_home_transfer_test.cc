// put_into_home / get_from_home against a private stand-in home, with the
// links and FIFOs a tenant could plant in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fs_test_util.h"
#include "pool/home_transfer.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

namespace hfs = std::filesystem;

constexpr uid_t kTenant = 65534;  // any uid will do; root may chown to it

class HomeTransferTest : public ::testing::Test {
 protected:
  // A planted FIFO opened for writing would block: end the run instead.
  testing_support::Watchdog watchdog_{60};
  testing_support::TempDir tmp_;
  std::string home_ = tmp_.path() + "/home";
  std::string outside_ = tmp_.path() + "/outside";
  std::shared_ptr<FileSystem> fs_ = FileSystem::create();

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    hfs::create_directories(home_);
    hfs::create_directories(outside_);
    std::ofstream(outside_ + "/secret") << "precious";
    ASSERT_EQ(::chown(home_.c_str(), kTenant, kTenant), 0);
    ASSERT_TRUE(fs_->mkdir("/src"));
    ASSERT_TRUE(fs_->mkdir("/src/d"));
    ASSERT_TRUE(fs_->mkdir("/src/d/e"));
    write_file("/src/top", "top");
    write_file("/src/d/e/leaf", std::string(5000, 'z'));
  }
  void write_file(const std::string& path, const std::string& bytes) {
    auto h = must(FileSystem::open(fs_, path, FileHandleType::WRITE, true));
    must(h.write(bytes_of(bytes)));
  }
  void expect_outside_untouched() {
    EXPECT_EQ(std::vector<hfs::path>(hfs::directory_iterator(outside_), {}).size(), 1u);
    std::ifstream in(outside_ + "/secret");
    std::string s;
    in >> s;
    EXPECT_EQ(s, "precious");
  }
};

TEST_F(HomeTransferTest, PutThenGetGivesTheSameTreeOwnedByTheTenant) {
  auto put = put_into_home(*fs_, "/src", home_, kTenant, "a/b");
  ASSERT_TRUE(put) << put.error().err << " " << put.error().text;
  EXPECT_EQ(*put, 2u);
  for (auto& e : hfs::recursive_directory_iterator(home_)) {
    struct stat st;
    ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kTenant) << e.path();
    EXPECT_EQ(st.st_gid, kTenant) << e.path();
    EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0755u : 0644u) << e.path();
  }
  auto got = get_from_home(home_, kTenant, "a/b", 1 << 20);
  ASSERT_TRUE(got);
  EXPECT_EQ(content_of(**got, must((*got)->get_inode_by_path_raw("/d/e/leaf"))), std::string(5000, 'z'));
  EXPECT_EQ(content_of(**got, must((*got)->get_inode_by_path_raw("/top"))), "top");
  EXPECT_EQ(must((*got)->ls_raw(kRootId)).directories, std::vector<std::string>{"d"});
}

TEST_F(HomeTransferTest, PlantedLinksAreRefusedOrReplacedNeverFollowed) {
  struct Case {
    const char* what;
    std::function<void()> plant;
    const char* dest;
    bool fails;
  } cases[] = {
      {"link as dest", [&] { hfs::create_directory_symlink(outside_, home_ + "/out"); }, "out", true},
      {"link below dest", [&] { hfs::create_directory_symlink(outside_, home_ + "/d"); }, "", true},
      {"file as dest", [&] { std::ofstream(home_ + "/out"); }, "out", true},
      {"link where a file goes",
       [&] { hfs::create_symlink(outside_ + "/secret", home_ + "/top"); }, "", false},
      {"hard link where a file goes",
       [&] { hfs::create_hard_link(outside_ + "/secret", home_ + "/top"); }, "", false},
      {"fifo where a file goes", [&] { ::mkfifo((home_ + "/top").c_str(), 0600); }, "", false},
  };
  for (const Case& c : cases) {
    hfs::remove_all(home_);
    hfs::create_directories(home_);
    c.plant();
    auto put = put_into_home(*fs_, "/src", home_, kTenant, c.dest);
    EXPECT_EQ(!put, c.fails) << c.what;
    if (!put) {
      EXPECT_EQ(put.error().kind, TransferError::Kind::Host) << c.what;
      EXPECT_TRUE(put.error().err == ELOOP || put.error().err == ENOTDIR) << c.what << ": " << put.error().err;
    } else {
      struct stat st;
      ASSERT_EQ(::lstat((home_ + "/top").c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == kTenant && st.st_size == 3) << c.what;
    }
    expect_outside_untouched();
  }
  auto up = put_into_home(*fs_, "/src", home_, kTenant, "a/../..");
  ASSERT_FALSE(up);
  EXPECT_EQ(up.error().kind, TransferError::Kind::Refused);
}

TEST_F(HomeTransferTest, GetSkipsWhatIsNotAFileOrDirectoryAndNeverFollowsLinks) {
  hfs::create_directories(home_ + "/res");
  std::ofstream(home_ + "/res/out.txt") << "result";
  hfs::create_symlink(outside_ + "/secret", home_ + "/res/shadow");
  hfs::create_directory_symlink(outside_, home_ + "/res/dir_link");
  ASSERT_EQ(::mkfifo((home_ + "/res/fifo").c_str(), 0600), 0);
  hfs::create_hard_link(outside_ + "/secret", home_ + "/res/hard_link");  // root's file, linked in
  std::ofstream(home_ + "/res/own");
  ASSERT_EQ(::chown((home_ + "/res/own").c_str(), kTenant, kTenant), 0);
  hfs::create_hard_link(home_ + "/res/own", home_ + "/res/own_link");  // the tenant's own: kept
  hfs::create_directory_symlink(outside_, home_ + "/via_link");

  auto got = get_from_home(home_, kTenant, "", 1 << 20);
  ASSERT_TRUE(got);
  auto files = must((*got)->ls_raw(must((*got)->get_inode_by_path_raw("/res")))).files;
  std::sort(files.begin(), files.end());  // the host lists in its own order
  EXPECT_EQ(files, (std::vector<std::string>{"out.txt", "own", "own_link"}));
  EXPECT_FALSE((*got)->exists("/via_link"));
  auto through = get_from_home(home_, kTenant, "via_link", 1 << 20);
  ASSERT_FALSE(through);
  EXPECT_TRUE(through.error().err == ELOOP || through.error().err == ENOTDIR);
}

TEST_F(HomeTransferTest, GetCountsBytesAcrossFiles) {
  std::ofstream(home_ + "/a") << std::string(600, 'a');
  std::ofstream(home_ + "/b") << std::string(400, 'b');
  EXPECT_TRUE(get_from_home(home_, kTenant, "", 1000));  // exactly the limit
  auto over = get_from_home(home_, kTenant, "", 999);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind, TransferError::Kind::Refused);
}

}  // namespace
}  // namespace ferrowick
