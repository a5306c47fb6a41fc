// Path resolution: name look-up, whole paths, reconstruction, classification,
// the last-separator split.
#include <optional>
#include <vector>

#include "fs_test_util.h"

namespace ferrowick {
namespace {

// The tree every case runs against:
//   /a (1)  /a/b (2)  /a/b/c (3, file)  /f (4, file)  /l (5, link to /a)
//   /a/a-long-name-past-inline (6)
class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(make_dir(*fs, kRootId, "a"), kA);
    ASSERT_EQ(make_dir(*fs, kA, "b"), kB);
    ASSERT_EQ(make_file(*fs, kB, "c"), kC);
    ASSERT_EQ(make_file(*fs, kRootId, "f"), kF);
    ASSERT_EQ(must(fs->create_inode(kRootId, "l", Symlink{kA})), kL);
    ASSERT_EQ(make_dir(*fs, kA, "a-long-name-past-inline"), kLong);
  }
  static constexpr InodeId kA = 1, kB = 2, kC = 3, kF = 4, kL = 5, kLong = 6, kMissing = 77;
  std::shared_ptr<FileSystem> fs = FileSystem::create();
};

// Either an id or an error.
struct Outcome {
  std::optional<InodeId> id;
  IoError error;
  static Outcome ok(InodeId id) { return {id, IoError()}; }
  static Outcome err(K kind) { return {std::nullopt, IoError(kind)}; }
};

template <class T>
void expect_outcome(const Expected<T, IoError>& got, const Outcome& want, const std::string& what) {
  if (want.id) {
    ASSERT_TRUE(got.has_value()) << what << " failed with " << got.error().name();
    EXPECT_EQ(*got, *want.id) << what;
  } else {
    EXPECT_EQ(error_of(got), want.error) << what;
  }
}

TEST_F(PathTest, ResolvesPathsFromTheRoot) {
  const std::vector<std::pair<const char*, Outcome>> rows = {
      {"", Outcome::ok(kRootId)},
      {"/", Outcome::ok(kRootId)},
      {".", Outcome::ok(kRootId)},
      {"//", Outcome::ok(kRootId)},
      {"/./.", Outcome::ok(kRootId)},
      {"/..", Outcome::ok(kRootId)},
      {"..\\..", Outcome::ok(kRootId)},
      {"a/b", Outcome::ok(kB)},
      {"/a/b", Outcome::ok(kB)},
      {"\\a\\b", Outcome::ok(kB)},
      {"a//b/", Outcome::ok(kB)},
      {"/a/./b", Outcome::ok(kB)},
      {"/a\\b/c", Outcome::ok(kC)},
      {"/a/b/..", Outcome::ok(kA)},
      {"/a/b/c/..", Outcome::ok(kB)},
      {"/a/b/../../a/b", Outcome::ok(kB)},
      {"/a/a-long-name-past-inline", Outcome::ok(kLong)},
      {"/f/.", Outcome::ok(kF)},
      {"/f/", Outcome::ok(kF)},
      {"/f/..", Outcome::ok(kRootId)},
      {"/l/b", Outcome::ok(kB)},  // a link is followed
      {"/l", Outcome::ok(kA)},
      {"/missing", Outcome::err(K::InodeNotFound)},
      {"/a/missing/c", Outcome::err(K::InodeNotFound)},
      {"/A", Outcome::err(K::InodeNotFound)},  // no case folding
      {"/f/x", Outcome::err(K::NotADirectory)},
      {"/a/b/c/x", Outcome::err(K::NotADirectory)},
      {"/f/x/..", Outcome::err(K::NotADirectory)},
  };
  for (const auto& [path, want] : rows) expect_outcome(fs->get_inode_by_path_raw(path), want, path);
}

TEST_F(PathTest, LooksUpSingleNames) {
  struct Row {
    InodeId in;
    const char* name;
    Outcome want;
  };
  const std::vector<Row> rows = {
      {kRootId, "a", Outcome::ok(kA)},
      {kRootId, "", Outcome::ok(kRootId)},
      {kRootId, "..", Outcome::ok(kRootId)},
      {kA, ".", Outcome::ok(kA)},
      {kA, "..", Outcome::ok(kRootId)},
      {kL, "b", Outcome::ok(kB)},                     // the starting id is resolved
      {kRootId, "l", Outcome::ok(kL)},                // the child as listed, not its target
      {kRootId, "a/b", Outcome::err(K::InodeNotFound)},  // a name is never split
      {kRootId, "b", Outcome::err(K::InodeNotFound)},
      {kF, "..", Outcome::ok(kRootId)},
      {kF, ".", Outcome::ok(kF)},
      {kF, "x", Outcome::err(K::NotADirectory)},
      {kMissing, "", Outcome::err(K::InodeNotFound)},
  };
  for (const Row& row : rows)
    expect_outcome(fs->find_inode_by_name(row.in, row.name), row.want,
                   std::to_string(row.in) + "/'" + row.name + "'");
}

TEST_F(PathTest, RebuildsAbsolutePaths) {
  EXPECT_EQ(*fs->get_path_by_inode(kRootId), "/");
  EXPECT_EQ(*fs->get_path_by_inode(kC), "/a/b/c");
  EXPECT_EQ(*fs->get_path_by_inode(kLong), "/a/a-long-name-past-inline");
  EXPECT_EQ(*fs->get_path_by_inode(kL), "/a");  // the link's target
  EXPECT_EQ(error_of(fs->get_path_by_inode(kMissing)), IoError(K::InodeNotFound));
  // Round trip for every inode of the fixture.
  for (InodeId id : {kA, kB, kC, kF, kLong})
    EXPECT_EQ(*fs->get_inode_by_path_raw(*fs->get_path_by_inode(id)), id) << id;
}

TEST_F(PathTest, ClassifiesIdentifiers) {
  struct Row {
    InodeId id;
    bool is_file, is_dir;
  };
  for (const Row& row : std::vector<Row>{{kRootId, false, true}, {kB, false, true}, {kC, true, false},
                                         {kF, true, false}, {kL, false, true}}) {
    EXPECT_EQ(*fs->is_file_raw(row.id), row.is_file) << row.id;
    EXPECT_EQ(*fs->is_directory_raw(row.id), row.is_dir) << row.id;
  }
  EXPECT_EQ(error_of(fs->is_file_raw(kMissing)), IoError(K::InodeNotFound));
  EXPECT_EQ(error_of(fs->is_directory_raw(kMissing)), IoError(K::InodeNotFound));
}

TEST_F(PathTest, WithoutARootEveryPathFails) {
  fs->release_inode_id(kRootId);
  for (const char* path : {"", "/", "/a"}) EXPECT_EQ(error_of(fs->get_inode_by_path_raw(path)), IoError(K::InodeNotFound));
  EXPECT_EQ(*fs->get_path_by_inode(kRootId), "/");
}

TEST(PathSplit, SplitsAtTheLastSeparator) {
  struct Row {
    const char* path;
    const char* parent;
    const char* name;
  };
  for (const Row& row : std::vector<Row>{{"/a/b", "/a", "b"},
                                         {"/a", "", "a"},
                                         {"a", "", "a"},
                                         {"a/", "a", ""},
                                         {"/", "", ""},
                                         {"", "", ""},
                                         {"a\\b", "a", "b"},
                                         {"a/b\\c", "a/b", "c"},
                                         {"a\\b/c", "a\\b", "c"}}) {
    const PathSplit split = split_last_separator(row.path);
    EXPECT_EQ(split.parent, row.parent) << row.path;
    EXPECT_EQ(split.name, row.name) << row.path;
  }
}

}  // namespace
}  // namespace ferrowick
