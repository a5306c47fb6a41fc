// Inode store: creation, identifiers, depth, links, release, rendering.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "fs/inode_table.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

std::string inode_text(InodeId id, InodeId parent, int depth, const char* name, const std::string& kind) {
  return std::to_string(id) + ": INode { id: " + std::to_string(id) + ", parent: " + std::to_string(parent) +
         ", depth: " + std::to_string(depth) + ", name: " + name + ", data: RwLock { data: " + kind +
         ", poisoned: false, .. } }";
}

TEST(InodeStore, NewFileSystemHoldsOnlyTheRoot) {
  auto fs = FileSystem::create();
  EXPECT_EQ(fs->inode_count(), 1u);
  EXPECT_EQ(fs->render(),
            "FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { data: "
            "Directory { children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }");
}

TEST(InodeStore, RendersEveryKindAndLockedRecords) {
  auto fs = FileSystem::create();
  const InodeId d = make_dir(*fs, kRootId, "d");
  const InodeId f = make_file(*fs, d, "q\"x");  // a name needing an escape
  must(fs->create_inode(kRootId, "a-name-longer-than-twelve", Symlink{d}));
  ASSERT_TRUE(must(FileSystem::open(fs, "/d/q\"x", FileHandleType::WRITE, false)).write(bytes_of("\x01\x02")));
  const std::string file = "File { data: FileData { data: [1, 2] }, lock: FileLock { flag: 0 } }";
  EXPECT_EQ(fs->render(), "FileSystem { inodes: {" + inode_text(0, 0, 0, "\"\"", "Directory { children: [1, 3] }") +
                              ", " + inode_text(1, 0, 1, "\"d\"", "Directory { children: [2] }") + ", " +
                              inode_text(2, 1, 2, "\"q\\\"x\"", file) + ", " +
                              inode_text(3, 0, 1, "\"a-name-longer-than-twelve\"", "Symlink { target: 1 }") +
                              "}, next_inode_id: 4 }");
  auto guard = fs->lookup(f)->data.write();
  EXPECT_NE(fs->render().find(inode_text(2, 1, 2, "\"q\\\"x\"", "<locked>")), std::string::npos);
}

struct CreateFailure {
  const char* label;
  InodeId parent;
  const char* name;
  K expected;
  bool spends_id;
};
// The fixture holds /a (1) and the file /f (2).
constexpr InodeId kF = 2, kMissing = 99;

class CreateFailureTest : public ::testing::TestWithParam<CreateFailure> {};

TEST_P(CreateFailureTest, FailsWithoutChangingTheTree) {
  const CreateFailure& row = GetParam();
  auto fs = FileSystem::create();
  make_dir(*fs, kRootId, "a");
  make_file(*fs, kRootId, "f");
  auto tree = [&] {  // everything but the counter
    std::string r = fs->render();
    return r.substr(0, r.rfind("next_inode_id"));
  };
  const std::string before = tree();
  const std::uint64_t next = fs->next_inode_id();
  EXPECT_ERR(fs->create_inode(row.parent, row.name, Directory{}), row.expected);
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(make_file(*fs, kRootId, "next"), next + (row.spends_id ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CreateFailureTest,
    ::testing::Values(CreateFailure{"empty", kRootId, "", K::ResourceAlreadyExists, false},
                      CreateFailure{"dot", kRootId, ".", K::ResourceAlreadyExists, false},
                      CreateFailure{"dotdot", kRootId, "..", K::ResourceAlreadyExists, false},
                      CreateFailure{"slash", kRootId, "x/y", K::ResourceAlreadyExists, false},
                      CreateFailure{"backslash", kRootId, "x\\y", K::ResourceAlreadyExists, false},
                      CreateFailure{"name_checked_first", kMissing, "", K::ResourceAlreadyExists, false},
                      CreateFailure{"missing_parent", kMissing, "x", K::InodeNotFound, true},
                      CreateFailure{"duplicate", kRootId, "a", K::ResourceAlreadyExists, true},
                      CreateFailure{"under_file", kF, "x", K::NotADirectory, true}),
    [](const auto& row_info) { return std::string(row_info.param.label); });

TEST(InodeStore, DepthLimitIs64AndComesBeforeTheParentKind) {
  auto fs = FileSystem::create();
  InodeId dir = kRootId;
  for (int level = 1; level <= 64; ++level) dir = make_dir(*fs, dir, "d" + std::to_string(level));
  EXPECT_EQ(must(fs->depth_of(dir)), 64u);
  EXPECT_ERR(fs->create_inode(dir, "x", File{}), K::MaxRecursionDepthExceeded);
  const InodeId file = make_file(*fs, fs->lookup(dir)->parent, "f");
  EXPECT_ERR(fs->create_inode(file, "x", File{}), K::MaxRecursionDepthExceeded);
}

TEST(InodeStore, LinksAreFollowedAndLoopsBounded) {
  auto fs = FileSystem::create();
  const InodeId dir = make_dir(*fs, kRootId, "d");
  const InodeId link = must(fs->create_inode(kRootId, "l", Symlink{dir}));
  const InodeId link2 = must(fs->create_inode(kRootId, "l2", Symlink{link}));
  EXPECT_EQ(must(fs->get_inode_raw(link2)), dir);
  EXPECT_ERR(fs->get_inode_raw(must(fs->create_inode(kRootId, "x", Symlink{kMissing}))), K::InodeNotFound);
  // Creating through a link lists the child in the target but keeps the parent as given.
  const InodeId child = make_file(*fs, link, "c");
  EXPECT_EQ(fs->lookup(child)->parent, link);
  EXPECT_EQ(must(fs->find_inode_by_name(dir, "c")), child);
  const InodeId self = fs->next_inode_id();
  must(fs->create_inode(kRootId, "loop", Symlink{self}));
  EXPECT_ERR(fs->get_inode_raw(self), K::MaxRecursionDepthExceeded);
}

TEST(InodeStore, ReleaseRemovesOnlyTheRecordAndIdsAreNeverReused) {
  auto fs = FileSystem::create();
  const InodeId a = make_file(*fs, kRootId, "a");
  fs->release_inode_id(kMissing);
  EXPECT_EQ(fs->inode_count(), 2u);
  INodeRef held = fs->lookup(a);
  fs->release_inode_id(a);
  EXPECT_FALSE(fs->lookup(a));
  EXPECT_EQ(held->name, "a");  // a guard keeps the record readable
  EXPECT_EQ(make_file(*fs, kRootId, "b"), a + 1);
}

TEST(InodeStore, TableFreesPagesThatIdsHaveLeftBehind) {
  // One record at a time, created and erased: every page but the current one
  // must go, whether it emptied before or after ids moved past it.
  InodeTable table;
  for (InodeId id = 1; id <= 10 * 1024; ++id) {
    table.reserve(id);
    table.insert(new INode(id, kRootId, "f", File{}));
    table.erase(id)->release();
  }
  EXPECT_EQ(table.size(), 0u);
  EXPECT_LE(table.pages_in_use(), 1u);
}

TEST(InodeStore, ConcurrentCreatorsNeverDuplicateANameOrAnId) {
  auto fs = FileSystem::create();
  constexpr int kThreads = 4, kPerThread = 400, kShared = 100;
  std::vector<std::vector<InodeId>> ids(kThreads);
  std::atomic<int> shared_wins{0}, faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        auto id = fs->create_inode(kRootId, name, File{});
        auto found = fs->find_inode_by_name(kRootId, name);
        if (!id || !found || *found != *id) faults.fetch_add(1);
        if (id) ids[t].push_back(*id);
        // All threads race for the same names; exactly one wins each.
        if (i < kShared && fs->create_inode(kRootId, "s" + std::to_string(i), Directory{})) shared_wins.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(shared_wins.load(), kShared);
  std::set<InodeId> unique;
  for (const auto& v : ids) unique.insert(v.begin(), v.end());
  EXPECT_EQ(unique.size(), std::size_t{kThreads * kPerThread});
  Listing listing = must(fs->ls_raw(kRootId));
  EXPECT_EQ(listing.files.size(), std::size_t{kThreads * kPerThread});
  EXPECT_EQ(std::set<std::string>(listing.directories.begin(), listing.directories.end()).size(),
            listing.directories.size());
  EXPECT_EQ(listing.directories.size(), std::size_t{kShared});
}

}  // namespace
}  // namespace ferrowick
