// exists() and stat() by path, and truncation through a handle.
#include <string>
#include <vector>

#include "fs_test_util.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FERROWICK_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FERROWICK_SANITIZED 1
#endif

namespace ferrowick {
namespace {

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d = make_dir(*fs, kRootId, "d");
    f = make_file(*fs, d, "f");
    must(must(FileSystem::open(fs, "/d/f", FileHandleType::WRITE, false)).write(bytes_of("hello")));
    make_file(*fs, d, "g");
    link = must(fs->create_inode(kRootId, "l", Symlink{d}));
  }
  std::shared_ptr<FileSystem> fs = FileSystem::create();
  InodeId d = 0, f = 0, link = 0;
};

TEST_F(QueryTest, ExistsAnswersWithoutFailingOrCreating) {
  const std::vector<std::pair<const char*, bool>> rows = {
      {"/", true},       {"", true},        {"/d", true},     {"\\d\\f", true}, {"/d/", true},
      {"/d/f/.", true},  {"/l/f", true},    {"/d/..", true},  {"/missing", false},
      {"/d/f/x", false}, {"/missing/x", false}};
  const std::size_t before = fs->inode_count();
  for (const auto& [path, want] : rows) EXPECT_EQ(fs->exists(path), want) << path;
  EXPECT_EQ(fs->inode_count(), before);
}

TEST_F(QueryTest, StatReportsKindSizeAndIdOfTheEntryItself) {
  struct Row {
    const char* path;
    KindTag kind;
    std::uint64_t size;
    InodeId ino;
  };
  const std::vector<Row> rows = {
      {"/", KindTag::Directory, 2, kRootId}, {"/d", KindTag::Directory, 2, d}, {"/d/", KindTag::Directory, 2, d},
      {"/d/f", KindTag::File, 5, f},         {"/l", KindTag::Symlink, 0, link}, {"/l/f", KindTag::File, 5, f},
  };
  for (const Row& row : rows) {
    const EntryStat st = must(fs->stat(row.path));
    EXPECT_EQ(st.kind, row.kind) << row.path;
    EXPECT_EQ(st.size, row.size) << row.path;
    EXPECT_EQ(st.ino, row.ino) << row.path;
  }
  EXPECT_ERR(fs->stat("/missing"), K::InodeNotFound);
  EXPECT_ERR(fs->stat("/d/f/x"), K::NotADirectory);
  ASSERT_TRUE(fs->rm("/d/g", false));
  EXPECT_EQ(must(fs->stat("/d")).size, 1u);
}

TEST_F(QueryTest, TruncateGrowsWithZerosShrinksAndPullsTheOffsetBack) {
  FileHandle h = must(FileSystem::open(fs, "/d/f", FileHandleType::READ | FileHandleType::WRITE, false));
  ASSERT_TRUE(h.seek(SeekOrigin::Start, 4));
  ASSERT_TRUE(h.truncate(40));  // grows the file: the new bytes are zeros
  EXPECT_EQ(content_of(*fs, f), std::string("hello") + std::string(35, '\0'));
  EXPECT_EQ(h.offset(), 4u);
  ASSERT_TRUE(h.truncate(2));
  EXPECT_EQ(content_of(*fs, f), "he");
  EXPECT_EQ(h.offset(), 2u);
  ASSERT_TRUE(h.truncate(0));
  EXPECT_EQ(content_of(*fs, f), "");
  ASSERT_TRUE(h.close());
  EXPECT_ERR(h.truncate(1), K::InvalidFileDescriptor);

  FileHandle r = must(FileSystem::open(fs, "/d/f", FileHandleType::READ, false));
  EXPECT_EQ(error_of(r.truncate(0)).message(), "File does not support the specified operation: truncate");
}

TEST_F(QueryTest, TruncateBeyondMemoryLeavesTheFileUsable) {
#ifdef FERROWICK_SANITIZED
  GTEST_SKIP() << "sanitizer allocators abort on (or reserve) impossible sizes instead of failing";
#endif
  FileHandle h = must(FileSystem::open(fs, "/d/f", FileHandleType::WRITE, false));
  EXPECT_THROW((void)h.truncate(std::uint64_t{1} << 62), std::bad_alloc);
  EXPECT_EQ(content_of(*fs, f), "hello");
  ASSERT_TRUE(h.truncate(1));
  EXPECT_EQ(content_of(*fs, f), "h");
}

}  // namespace
}  // namespace ferrowick
