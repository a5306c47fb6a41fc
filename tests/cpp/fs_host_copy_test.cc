// copy_in / copy_out between a FileSystem and a private host directory.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <cstring>
#include <sstream>

#include "fs/host_copy.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

namespace hfs = std::filesystem;

// Every regular file below `root` (links not followed), by relative path,
// with its bytes; directories as "<path>/" with no bytes.
std::map<std::string, std::string> host_tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = hfs::recursive_directory_iterator(root); it != hfs::recursive_directory_iterator(); ++it) {
    const auto rel = hfs::relative(it->path(), root).string();
    if (it->is_symlink()) continue;
    if (it->is_directory()) out[rel + "/"] = "";
    if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      out[rel] = ss.str();
    }
  }
  return out;
}

std::string host_error(const TransferResult<std::uint64_t>& r) {
  if (r) return "success";
  return r.error().kind == TransferError::Kind::Host ? std::strerror(r.error().err) : r.error().text;
}

class HostCopyTest : public ::testing::Test {
 protected:
  std::string tmp_;
  std::shared_ptr<FileSystem> fs_ = FileSystem::create();

  void SetUp() override {
    char tmpl[] = "/tmp/ferrowick_host_copy_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
  }
  void TearDown() override { hfs::remove_all(tmp_); }
  void write(const std::string& rel, const std::string& bytes) {
    hfs::create_directories(hfs::path(tmp_ + "/" + rel).parent_path());
    std::ofstream(tmp_ + "/" + rel, std::ios::binary) << bytes;
  }
};

TEST_F(HostCopyTest, RoundTripKeepsPathsAndBytesAndSkipsEverythingElse) {
  std::string binary(70000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 131);
  write("in/a.txt", "alpha");
  write("in/empty", "");
  write("in/d/e/deep.bin", binary);
  hfs::create_directories(tmp_ + "/in/d/emptydir");
  hfs::create_symlink("/etc/passwd", tmp_ + "/in/link_to_file");
  hfs::create_directory_symlink("/etc", tmp_ + "/in/d/link_to_dir");
  ASSERT_EQ(::mkfifo((tmp_ + "/in/fifo").c_str(), 0600), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/in/sock", tmp_.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  auto in = copy_in(*fs_, tmp_ + "/in", "/w/x");
  ::close(sock);
  ASSERT_TRUE(in) << host_error(in);
  EXPECT_EQ(*in, 3u);
  EXPECT_EQ(content_of(*fs_, must(fs_->get_inode_by_path_raw("/w/x/d/e/deep.bin"))), binary);
  EXPECT_FALSE(fs_->exists("/w/x/link_to_file"));
  EXPECT_FALSE(fs_->exists("/w/x/d/link_to_dir"));
  EXPECT_FALSE(fs_->exists("/w/x/fifo"));

  auto out = copy_out(*fs_, "/w/x", tmp_ + "/out");
  ASSERT_TRUE(out) << host_error(out);
  EXPECT_EQ(*out, 3u);
  auto expected = host_tree(tmp_ + "/in");
  expected.erase("fifo");
  expected.erase("sock");
  EXPECT_EQ(host_tree(tmp_ + "/out"), expected);
}

TEST_F(HostCopyTest, CopyInReplacesFilesMergesDirectoriesAndRefusesKindClashes) {
  write("in/f", "new");
  write("in/d/g", "g");
  ASSERT_TRUE(fs_->mkdir("/d"));
  ASSERT_TRUE(fs_->touch("/f"));
  ASSERT_TRUE(fs_->touch("/keep"));
  ASSERT_TRUE(copy_in(*fs_, tmp_ + "/in", "/"));
  EXPECT_EQ(content_of(*fs_, must(fs_->get_inode_by_path_raw("/f"))), "new");
  EXPECT_TRUE(fs_->exists("/d/g"));
  EXPECT_TRUE(fs_->exists("/keep"));

  // A directory where a host file goes, and a file where a host directory goes.
  ASSERT_TRUE(fs_->mkdir("/clash"));
  ASSERT_TRUE(fs_->mkdir("/clash/f"));
  auto r = copy_in(*fs_, tmp_ + "/in", "/clash");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, TransferError::Kind::Fs);
  ASSERT_TRUE(fs_->mkdir("/clash2"));
  ASSERT_TRUE(fs_->touch("/clash2/d"));
  EXPECT_FALSE(copy_in(*fs_, tmp_ + "/in", "/clash2"));
}

TEST_F(HostCopyTest, FailedCopyInRemovesTheDestinationItMade) {
  write("in/ok", "x");
  write("in/bad\\name", "x");
  auto r = copy_in(*fs_, tmp_ + "/in", "/made/here");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, TransferError::Kind::Refused);
  EXPECT_FALSE(fs_->exists("/made"));

  auto missing = copy_in(*fs_, tmp_ + "/nope", "/");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, TransferError::Kind::Host);
  EXPECT_EQ(missing.error().err, ENOENT);
}

TEST_F(HostCopyTest, CopyOutRefusesAnOccupiedTargetAndNeverFollowsLinks) {
  ASSERT_TRUE(fs_->mkdir("/d"));
  ASSERT_TRUE(fs_->touch("/d/f"));
  write("full/x", "x");
  write("file", "x");
  struct Case {
    std::string target;
    int err;
  } cases[] = {{tmp_ + "/full", EEXIST}, {tmp_ + "/file", ENOTDIR}, {tmp_ + "/no/parent", ENOENT}};
  for (const Case& c : cases) {
    auto r = copy_out(*fs_, "/", c.target);
    ASSERT_FALSE(r) << c.target;
    EXPECT_EQ(r.error().err, c.err) << c.target;
  }
  EXPECT_EQ(copy_out(*fs_, "/d/f", tmp_ + "/new").error().io, IoError(K::NotADirectory));

  // A link planted where a directory goes is refused, not followed.
  hfs::create_directories(tmp_ + "/elsewhere");
  hfs::create_directories(tmp_ + "/target");
  hfs::create_directory_symlink(tmp_ + "/elsewhere", tmp_ + "/target/d");
  HostWriteOptions options;
  UniqueFd fd(::open((tmp_ + "/target").c_str(), O_RDONLY | O_DIRECTORY));
  auto r = write_host_tree(*fs_, kRootId, fd.get(), options, tmp_ + "/target");
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().err == ELOOP || r.error().err == ENOTDIR) << r.error().err;
  EXPECT_TRUE(hfs::is_empty(tmp_ + "/elsewhere"));
}

TEST_F(HostCopyTest, ReadingStopsAtTheByteLimitBeforeReadingTheFile) {
  write("in/small", "1234");
  UniqueFd big(::open((tmp_ + "/in/sparse").c_str(), O_WRONLY | O_CREAT, 0600));
  ASSERT_EQ(::ftruncate(big.get(), off_t{1} << 40), 0);  // a terabyte, no blocks
  UniqueFd dir(::open((tmp_ + "/in").c_str(), O_RDONLY | O_DIRECTORY));
  HostReadOptions options;
  options.max_bytes = 1 << 20;
  auto r = read_host_tree(*fs_, dir.get(), kRootId, options, tmp_ + "/in");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, TransferError::Kind::Refused);
  EXPECT_NE(r.error().text.find("max_bytes"), std::string::npos);
}

}  // namespace
}  // namespace ferrowick
