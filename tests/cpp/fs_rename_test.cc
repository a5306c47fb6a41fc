// Renaming: moves in O(1) that keep identifiers, handles and lock words;
// the replacement and refusal rules; modification and birth times.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../fuzz/fs_invariants.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

using fscheck::check_fs_invariants;
using Names = std::vector<std::string>;

void must_do(const Expected<void, IoError>& r) {
  if (!r) throw std::runtime_error("unexpected failure: " + r.error().name());
}

// /a (dir) holding /a/f "one" and /a/sub/g; /b (dir); /h "two"; /empty (dir).
std::shared_ptr<FileSystem> sample() {
  auto fs = FileSystem::create();
  for (const char* d : {"/a", "/a/sub", "/b", "/empty"}) must_do(fs->mkdir(d));
  for (const char* f : {"/a/f", "/a/sub/g", "/h"}) must_do(fs->touch(f));
  for (auto [path, text] : {std::pair{"/a/f", "one"}, std::pair{"/h", "two"}}) {
    FileHandle w = must(FileSystem::open(fs, path, FileHandleType::WRITE, false));
    must(w.write(bytes_of(text)));
  }
  return fs;
}

TEST(Rename, MovesFilesAndDirectoriesKeepingIdentifiersAndListingThemLast) {
  auto fs = sample();
  const InodeId a = must(fs->get_inode_by_path_raw("/a"));
  const InodeId g = must(fs->get_inode_by_path_raw("/a/sub/g"));
  must_do(fs->rename("/a", "/b/moved"));  // a directory with what lies below it
  EXPECT_EQ(must(fs->get_inode_by_path_raw("/b/moved")), a);
  EXPECT_EQ(must(fs->get_inode_by_path_raw("/b/moved/sub/g")), g);
  EXPECT_EQ(must(fs->get_path_by_inode(g)), "/b/moved/sub/g");
  EXPECT_ERR(fs->get_inode_by_path_raw("/a"), K::InodeNotFound);
  must_do(fs->rename("/h", "/h2"));  // in place: listed last under its new name
  must_do(fs->touch("/z"));
  must_do(fs->rename("/h2", "/z2"));
  EXPECT_EQ(must(fs->ls_raw(kRootId)).files, (Names{"z", "z2"}));
  must_do(fs->rename("/b/moved/f", "/b/moved/./f"));  // the same entry: nothing happens
  EXPECT_EQ(must(fs->ls_raw(a)).files, Names{"f"});
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
  // Moved back up, the names of the old place work again.
  must_do(fs->rename("/b/moved", "/a"));
  must_do(fs->mkdir("/b/moved"));
  EXPECT_EQ(must(fs->depth_of(g)), 3u);
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

TEST(Rename, OpenHandlesKeepTheirFileAndItsLockWord) {
  auto fs = sample();
  FileHandle r = must(FileSystem::open(fs, "/a/f", FileHandleType::READ, false));
  must_do(fs->rename("/a", "/b/a"));
  must_do(fs->rename("/b/a/f", "/b/renamed"));
  std::string text;
  must(r.read_rest(text));
  EXPECT_EQ(text, "one");
  EXPECT_ERR(FileSystem::open(fs, "/b/renamed", FileHandleType::WRITE, false), K::ResourceCurrentInUse);
  EXPECT_ERR(fs->rm("/b/renamed", false), K::ResourceCurrentInUse);
  ASSERT_TRUE(r.close());
  EXPECT_EQ(flag_of(*fs, must(fs->get_inode_by_path_raw("/b/renamed"))), 0);
}

TEST(Rename, ReplacesAFileOrAnEmptyDirectoryAtTheDestination) {
  auto fs = sample();
  const InodeId h = must(fs->get_inode_by_path_raw("/h"));
  const std::size_t count = fs->inode_count();
  must_do(fs->rename("/h", "/a/f"));
  EXPECT_EQ(must(fs->get_inode_by_path_raw("/a/f")), h);
  EXPECT_EQ(content_of(*fs, h), "two");
  EXPECT_EQ(fs->inode_count(), count - 1);  // the replaced file is released
  must_do(fs->rename("/a/sub", "/empty"));
  EXPECT_EQ(must(fs->ls_raw(kRootId)).directories, (Names{"a", "b", "empty"}));
  EXPECT_TRUE(fs->exists("/empty/g"));
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

struct Refusal {
  const char* from;
  const char* to;
  K error;
};

TEST(Rename, RefusalsChangeNothing) {
  auto fs = sample();
  FileHandle open_h = must(FileSystem::open(fs, "/h", FileHandleType::READ, false));
  const std::vector<Refusal> rows = {
      {"/missing", "/x", K::InodeNotFound},
      {"/h", "/missing/x", K::InodeNotFound},
      {"/h", "/a/f/x", K::NotADirectory},
      {"/", "/x", K::ResourceCurrentInUse},
      {"/a/..", "/x", K::ResourceCurrentInUse},  // the root, by another name
      {"/a", "/a/sub/a", K::InvalidMove},
      {"/a", "/a/a", K::InvalidMove},
      {"/a/sub", "/a/sub/.", K::ResourceAlreadyExists},
      {"/h", "/b/", K::ResourceAlreadyExists},
      {"/a", "/b/..", K::ResourceAlreadyExists},
      {"/a/sub", "/a", K::DirectoryIsNotEmpty},  // would replace its own parent
      {"/b", "/a", K::DirectoryIsNotEmpty},
      {"/b", "/h", K::NotADirectory},
      {"/a/f", "/b", K::NotAFile},
      {"/a/f", "/h", K::ResourceCurrentInUse},  // /h has a handle open
  };
  const std::string before = fs->render();
  for (const Refusal& row : rows) {
    EXPECT_ERR(fs->rename(row.from, row.to), row.error) << row.from << " -> " << row.to;
    EXPECT_EQ(fs->render(), before) << row.from << " -> " << row.to;
  }
  ASSERT_TRUE(open_h.close());
  must_do(fs->rename("/a/f", "/h"));  // free now
}

TEST(Rename, KeepsEverythingWithinTheDepthLimit) {
  auto fs = FileSystem::create();
  std::string deep;
  for (std::size_t i = 0; i < kMaxDepth - 1; ++i) must_do(fs->mkdir(deep += "/d"));
  must_do(fs->mkdir("/t"));
  must_do(fs->mkdir("/t/u"));  // /t is two levels high
  EXPECT_ERR(fs->rename("/t", deep + "/t"), K::MaxRecursionDepthExceeded);
  // Once /t is one level high again, the bound is recomputed and it fits.
  must_do(fs->rm("/t/u", false));
  must_do(fs->rename("/t", deep + "/t"));
  EXPECT_ERR(fs->touch(deep + "/t/x"), K::MaxRecursionDepthExceeded);
  // The whole chain moves below a directory only if it then still fits.
  must_do(fs->mkdir("/top"));
  EXPECT_ERR(fs->rename("/d", "/top/d"), K::MaxRecursionDepthExceeded);
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

TEST(Rename, ReplacingAFileIsAtomicToConcurrentReaders) {
  // The pattern of editors and package managers: write a temporary file,
  // rename it over the real one. A reader must always find the file, and
  // find it whole, the old contents or the new.
  auto fs = FileSystem::create();
  constexpr std::size_t kSize = 64;
  auto write_block = [&](const char* path, char value) {
    FileHandle w = must(FileSystem::open(fs, path, FileHandleType::WRITE, true));
    must(w.write(bytes_of(std::string(kSize, value))));
  };
  write_block("/target", 'a');
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, faults{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto h = FileSystem::open(fs, "/target", FileHandleType::READ, false);
        std::string text;
        if (!h || !h->read_rest(text) || text.size() != kSize ||
            text.find_first_not_of(text[0]) != std::string::npos) {
          faults.fetch_add(1);
        }
        reads.fetch_add(1);
      }
    });
  }
  int replaced = 0;
  for (int i = 0; replaced < 300; ++i) {
    write_block("/tmp", static_cast<char>('b' + i % 20));
    // Refused while a reader holds the old file; then the next round rewrites /tmp.
    if (fs->rename("/tmp", "/target")) ++replaced;
  }
  stop.store(true);
  for (auto& r : readers) r.join();
  EXPECT_EQ(faults.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

TEST(Times, ModificationTimesFollowChangesOnly) {
  auto fs = sample();
  auto times = [&](const char* path) {
    EntryStat st = must(fs->stat(path));
    return std::pair{st.mtime_ns, st.birthtime_ns};
  };
  const auto [f0, f_born] = times("/a/f");
  const auto [a0, a_born] = times("/a");
  EXPECT_GT(f_born, 1'600'000'000'000'000'000);  // wall-clock nanoseconds
  EXPECT_GE(f0, f_born);
  FileHandle rw = must(FileSystem::open(fs, "/a/f", FileHandleType::READ | FileHandleType::WRITE, false));
  std::string text;
  must(rw.read_rest(text));
  EXPECT_EQ(must(fs->ls_raw(must(fs->get_inode_by_path_raw("/a")))).files, Names{"f"});
  EXPECT_EQ(times("/a/f").first, f0) << "read";
  EXPECT_EQ(times("/a").first, a0) << "listing";
  must(rw.write(bytes_of("x")));
  const auto f1 = times("/a/f").first;
  EXPECT_GT(f1, f0) << "write";
  ASSERT_TRUE(rw.truncate(0));
  EXPECT_GT(times("/a/f").first, f1) << "truncate";
  EXPECT_EQ(times("/a").first, a0) << "a file's change is not its directory's";
  ASSERT_TRUE(rw.close());

  std::int64_t last = a0;
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"add", [&] { must_do(fs->touch("/a/new")); }},
      {"remove", [&] { must_do(fs->rm("/a/new", false)); }},
      {"rename inside", [&] { must_do(fs->rename("/a/f", "/a/f2")); }},
      {"rename out", [&] { must_do(fs->rename("/a/f2", "/b/f2")); }},
      {"rename in", [&] { must_do(fs->rename("/b/f2", "/a/f")); }},
      {"remove below", [&] { must_do(fs->rm("/a/sub", true)); }},
  };
  for (const auto& [what, change] : changes) {
    change();
    EXPECT_GT(times("/a").first, last) << what;
    last = times("/a").first;
  }
  EXPECT_EQ(times("/a").second, a_born);
  EXPECT_EQ(times("/a/f").second, f_born);  // renaming keeps the birth time

  // A clone and a snapshot keep every time.
  auto copy = fs->clone();
  EXPECT_EQ(must(copy->stat("/a/f")).mtime_ns, times("/a/f").first);
  EXPECT_EQ(must(copy->stat("/")).birthtime_ns, must(fs->stat("/")).birthtime_ns);
}

}  // namespace
}  // namespace ferrowick
