// Namespace operations: mkdir, touch, rm / rm_raw, ls_raw, large directories
// and concurrent use of one directory.
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "fs_test_util.h"

namespace ferrowick {
namespace {

using Names = std::vector<std::string>;

Listing list(const FileSystem& fs, std::string_view path) { return must(fs.ls_raw(must(fs.get_inode_by_path_raw(path)))); }

void build(FileSystem& fs, std::initializer_list<const char*> dirs, std::initializer_list<const char*> files) {
  for (const char* d : dirs) must(fs.mkdir(d) ? Expected<int, IoError>(0) : Unexpected(IoError(K::NotADirectory)));
  for (const char* f : files) must(fs.touch(f) ? Expected<int, IoError>(0) : Unexpected(IoError(K::NotAFile)));
}

TEST(Namespace, ListsFilesThenDirectoriesInCreationOrder) {
  auto fs = FileSystem::create();
  build(*fs, {"/d", "/a", "/d/sub"}, {"/x", "y", "\\d\\f", "/b"});
  EXPECT_EQ(list(*fs, "/").files, (Names{"x", "y", "b"}));
  EXPECT_EQ(list(*fs, "/").directories, (Names{"d", "a"}));
  EXPECT_EQ(list(*fs, "/d").files, Names{"f"});
  EXPECT_EQ(list(*fs, "/d").directories, Names{"sub"});
  EXPECT_TRUE(list(*fs, "/a").files.empty() && list(*fs, "/a").directories.empty());
  EXPECT_ERR(fs->ls_raw(must(fs->get_inode_by_path_raw("/x"))), K::NotADirectory);
  EXPECT_ERR(fs->ls_raw(999), K::InodeNotFound);
}

TEST(Namespace, CreationFailures) {
  auto fs = FileSystem::create();
  build(*fs, {"/a"}, {"/f"});
  for (auto [path, kind] : std::vector<std::pair<const char*, K>>{{"/missing/x", K::InodeNotFound},
                                                                 {"/a", K::ResourceAlreadyExists},
                                                                 {"/a/", K::ResourceAlreadyExists},
                                                                 {"/a/..", K::ResourceAlreadyExists},
                                                                 {"/", K::ResourceAlreadyExists},
                                                                 {"/f", K::ResourceAlreadyExists},
                                                                 {"/f/x", K::NotADirectory}}) {
    EXPECT_ERR(fs->mkdir(path), kind) << "mkdir " << path;
    EXPECT_ERR(fs->touch(path), kind) << "touch " << path;
  }
  EXPECT_EQ(fs->inode_count(), 3u);
}

TEST(Namespace, RemovalRefusesNonEmptyDirectoriesUnlessRecursive) {
  auto fs = FileSystem::create();
  build(*fs, {"/d", "/d/e", "/d/e/g"}, {"/d/e/g/f", "/keep"});
  EXPECT_ERR(fs->rm("/d", false), K::DirectoryIsNotEmpty);
  EXPECT_EQ(fs->inode_count(), 6u);
  EXPECT_ERR(fs->rm("/missing", true), K::InodeNotFound);
  EXPECT_ERR(fs->rm_raw(999, false), K::InodeNotFound);
  ASSERT_TRUE(fs->rm("/d", true));
  EXPECT_EQ(fs->inode_count(), 2u);
  EXPECT_EQ(list(*fs, "/").files, Names{"keep"});
  const std::uint64_t next = fs->next_inode_id();  // the name is free again, under a new id
  ASSERT_TRUE(fs->mkdir("/d"));
  EXPECT_EQ(must(fs->get_inode_by_path_raw("/d")), next);
}

TEST(Namespace, OpenFilesBlockRemovalAndRecursiveRemovalStopsThere) {
  auto fs = FileSystem::create();
  build(*fs, {"/d"}, {"/d/first", "/d/open"});
  build(*fs, {"/d/later", "/d/later/inner"}, {"/d/last"});
  FileHandle handle = must(FileSystem::open(fs, "/d/open", FileHandleType::READ, false));
  EXPECT_ERR(fs->rm("/d/open", false), K::ResourceCurrentInUse);
  EXPECT_EQ(flag_of(*fs, 3), 1);  // a refused removal leaves the lock as it was

  EXPECT_ERR(fs->rm("/d", true), K::ResourceCurrentInUse);
  EXPECT_EQ(list(*fs, "/d").files, (Names{"open", "last"}));
  EXPECT_EQ(list(*fs, "/d").directories, Names{"later"});
  EXPECT_TRUE(fs->get_inode_by_path_raw("/d/later/inner"));
  // The removed first child leaves no trace in the rendering.
  EXPECT_NE(fs->render().find("name: \"d\", data: RwLock { data: Directory { children: [3, 4, 6] }"),
            std::string::npos);
  ASSERT_TRUE(handle.close());
  ASSERT_TRUE(fs->rm("/d", true));
  EXPECT_EQ(fs->inode_count(), 1u);
}

TEST(Namespace, TheRootIsKept) {
  struct Row {
    bool populate, recursive;
    std::optional<K> expected;
  };
  for (const Row& row : std::vector<Row>{{false, false, std::nullopt},
                                         {false, true, std::nullopt},
                                         {true, false, K::DirectoryIsNotEmpty},
                                         {true, true, std::nullopt}}) {
    SCOPED_TRACE(std::to_string(row.populate) + std::to_string(row.recursive));
    auto fs = FileSystem::create();
    if (row.populate) build(*fs, {"/a"}, {"/a/f", "/g"});
    const std::size_t before = fs->inode_count();
    auto r = fs->rm("/", row.recursive);
    if (row.expected) {
      EXPECT_ERR(r, *row.expected);
    }
    EXPECT_EQ(fs->inode_count(), row.expected ? before : 1u);
    EXPECT_TRUE(fs->mkdir("/again"));
  }
}

TEST(Namespace, RemovingALinkLeavesItsTarget) {
  auto fs = FileSystem::create();
  build(*fs, {"/d"}, {"/d/f"});
  const InodeId link = must(fs->create_inode(kRootId, "l", Symlink{1}));
  EXPECT_EQ(list(*fs, "/").directories, (Names{"d", "l"}));  // classified by target
  ASSERT_TRUE(fs->rm_raw(link, false));
  EXPECT_EQ(list(*fs, "/").directories, Names{"d"});
  EXPECT_EQ(list(*fs, "/d").files, Names{"f"});
}

TEST(Namespace, ListingAVanishedChildPanicsWithoutPoisoningTheDirectory) {
  auto fs = FileSystem::create();
  fs->release_inode_id(make_file(*fs, kRootId, "f"));  // leaves f listed: a broken tree
  try {
    (void)fs->ls_raw(kRootId);
    ADD_FAILURE() << "listing a vanished child must panic";
  } catch (const Panic& p) {
    EXPECT_NE(p.message().find("InodeNotFound"), std::string::npos) << p.message();
  }
  EXPECT_TRUE(fs->mkdir("/d"));
}

// Enough entries to go through the name index, tombstones and compaction.
TEST(Namespace, LargeDirectoryKeepsOrderAndNamesThroughRemovals) {
  constexpr int kCount = 20000;
  auto fs = FileSystem::create();
  const InodeId big = make_dir(*fs, kRootId, "big");
  std::vector<InodeId> ids(kCount);
  for (int i = 0; i < kCount; ++i) ids[i] = make_file(*fs, big, "n" + std::to_string(i));
  EXPECT_ERR(fs->touch("/big/n123"), K::ResourceAlreadyExists);
  for (int i = 0; i < kCount; ++i) {
    if (i % 3 != 0) {
      ASSERT_TRUE(fs->rm_raw(ids[i], false)) << i;
    }
  }
  Names expected;
  for (int i = 0; i < kCount; ++i) {
    auto found = fs->find_inode_by_name(big, "n" + std::to_string(i));
    if (i % 3 != 0) {
      EXPECT_ERR(found, K::InodeNotFound) << i;
      continue;
    }
    EXPECT_EQ(must(found), ids[i]) << i;
    expected.push_back("n" + std::to_string(i));
  }
  ASSERT_TRUE(fs->touch("/big/n1"));  // re-created names go to the end
  expected.push_back("n1");
  EXPECT_EQ(list(*fs, "/big").files, expected);
  EXPECT_ERR(fs->touch("/big/n3"), K::ResourceAlreadyExists);
  ASSERT_TRUE(fs->rm("/big", true));
  EXPECT_EQ(fs->inode_count(), 1u);
}

TEST(Namespace, LookupsStayCorrectWhileAnotherThreadChurnsTheDirectory) {
  auto fs = FileSystem::create();
  const InodeId dir = make_dir(*fs, kRootId, "d");
  constexpr int kStable = 50, kRounds = 200, kChurn = 40;
  std::vector<InodeId> stable(kStable);
  for (int i = 0; i < kStable; ++i) stable[i] = make_file(*fs, dir, "s" + std::to_string(i));
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::thread churn([&] {
    for (int round = 0; round < kRounds; ++round) {
      std::vector<InodeId> made;
      for (int i = 0; i < kChurn; ++i) {
        auto id = fs->create_inode(dir, "t" + std::to_string(i), File{});
        id ? made.push_back(*id) : void(faults.fetch_add(1));
      }
      for (InodeId id : made) faults.fetch_add(fs->rm_raw(id, false) ? 0 : 1);
    }
    done.store(true);
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        for (int i = 0; i < kStable; ++i) {
          auto found = fs->find_inode_by_name(dir, "s" + std::to_string(i));
          faults.fetch_add(found && *found == stable[i] ? 0 : 1);
        }
        auto transient = fs->find_inode_by_name(dir, "t7");
        faults.fetch_add(transient || transient.error() == IoError(K::InodeNotFound) ? 0 : 1);
        auto listing = fs->ls_raw(dir);
        faults.fetch_add(listing && listing->files.size() >= std::size_t{kStable} ? 0 : 1);
        std::this_thread::yield();  // the shared lock favours readers; let the writer in
      }
    });
  }
  churn.join();
  for (auto& th : readers) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(list(*fs, "/d").files.size(), std::size_t{kStable});
}

}  // namespace
}  // namespace ferrowick
