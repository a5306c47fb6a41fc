// Cloning (copy-on-write contents) and snapshot round trips of whole file
// systems.
#include <random>
#include <string>
#include <vector>

#include "../fuzz/fs_invariants.h"
#include "fs/record_arena.h"
#include "fs/snapshot_codec.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

using fscheck::check_fs_invariants;

void must_do(const Expected<void, IoError>& r) {
  if (!r) throw std::runtime_error("unexpected failure: " + r.error().name());
}

void write_file(const std::shared_ptr<FileSystem>& fs, std::string_view path, std::string_view text) {
  auto h = must(FileSystem::open(fs, path, FileHandleType::WRITE, true));
  ASSERT_TRUE(h.write(bytes_of(text)));
  ASSERT_TRUE(h.close());
}

bool shares_content(const FileSystem& fs, InodeId id) {
  return std::get<File>(*fs.lookup(id)->data.read()).data.data.shared();
}

// A tree with gaps in its identifiers, a large directory (indexed), long
// names, empty, small and large contents, and a link.
std::shared_ptr<FileSystem> sample_tree() {
  auto fs = FileSystem::create();
  must_do(fs->mkdir("/gone"));
  must_do(fs->mkdir("/src"));
  for (int i = 0; i < 20; ++i) must_do(fs->touch("/src/file-with-a-long-name-" + std::to_string(i)));
  must_do(fs->mkdir("/wide"));  // indexed, without gaps: a clone reuses its index
  for (int i = 0; i < 40; ++i) must_do(fs->touch("/wide/" + std::to_string(i)));
  must_do(fs->rm("/gone", false));
  must_do(fs->rm("/src/file-with-a-long-name-3", false));
  write_file(fs, "/src/small", "abc");
  write_file(fs, "/src/big", std::string(100000, 'x'));
  must(fs->create_inode(kRootId, "link", Symlink{*fs->get_inode_by_path_raw("/src/small")}));
  return fs;
}

TEST(Clone, CopiesTheWholeTreeThenBothSidesGoTheirOwnWay) {
  auto fs = sample_tree();
  auto reader = must(FileSystem::open(fs, "/src/small", FileHandleType::READ, false));
  auto writer = must(FileSystem::open(fs, "/src/big", FileHandleType::WRITE, false));
  auto copy = fs->clone();
  EXPECT_EQ(check_fs_invariants(*copy, /*expect_unlocked=*/true), "");  // no handle carries over
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(copy->get_inode_by_path_raw("/wide/" + std::to_string(i)));
  must_do(copy->touch("/wide/40"));
  must_do(copy->rm("/wide/7", false));
  EXPECT_ERR(copy->touch("/wide/39"), K::ResourceAlreadyExists);
  ASSERT_TRUE(reader.close());
  ASSERT_TRUE(writer.close());
  must_do(fs->touch("/wide/40"));  // the same changes, so that both render alike
  must_do(fs->rm("/wide/7", false));
  EXPECT_ERR(fs->touch("/wide/39"), K::ResourceAlreadyExists);
  EXPECT_TRUE(copy->render() == fs->render());
  EXPECT_EQ(must(copy->ls_raw(*copy->get_inode_by_path_raw("/src"))).files.size(), 21u);
  EXPECT_EQ(content_of(*copy, must(copy->get_inode_raw(*copy->get_inode_by_path_raw("/link")))), "abc");

  // Identifiers go on from the same place on both sides.
  const InodeId next = fs->next_inode_id();
  EXPECT_EQ(copy->next_inode_id(), next);
  EXPECT_EQ(make_file(*fs, kRootId, "mine"), next);
  EXPECT_EQ(make_dir(*copy, kRootId, "theirs"), next);

  // A link left dangling would break listings; rm by path would follow it.
  must_do(copy->rm_raw(must(copy->find_inode_by_name(kRootId, "link")), false));
  must_do(copy->rm("/src", true));
  write_file(fs, "/src/small", "ABCD");
  EXPECT_ERR(copy->get_inode_by_path_raw("/src/small"), K::InodeNotFound);
  EXPECT_EQ(content_of(*fs, *fs->get_inode_by_path_raw("/src/small")), "ABCD");
  EXPECT_ERR(fs->get_inode_by_path_raw("/theirs"), K::InodeNotFound);
  EXPECT_ERR(copy->get_inode_by_path_raw("/mine"), K::InodeNotFound);
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
  EXPECT_EQ(check_fs_invariants(*copy, true), "");
}

TEST(Clone, SharesContentsUntilOneSideWritesAFile) {
  auto fs = sample_tree();
  const InodeId big = *fs->get_inode_by_path_raw("/src/big");
  const InodeId small = *fs->get_inode_by_path_raw("/src/small");
  auto a = fs->clone();
  auto b = fs->clone();
  EXPECT_TRUE(shares_content(*fs, big));
  EXPECT_TRUE(shares_content(*b, small));

  // A write on one side copies that file only, and only for that side.
  write_file(a, "/src/big", "y");
  EXPECT_EQ(content_of(*a, big), "y" + std::string(99999, 'x'));
  EXPECT_EQ(content_of(*fs, big), std::string(100000, 'x'));
  EXPECT_EQ(content_of(*b, big), std::string(100000, 'x'));
  EXPECT_FALSE(shares_content(*a, big));
  EXPECT_TRUE(shares_content(*a, small));
  EXPECT_TRUE(shares_content(*fs, big));  // with b still

  // Growing a shared file through the original leaves the clones alone.
  auto h = must(FileSystem::open(fs, "/src/small", FileHandleType::WRITE, false));
  ASSERT_TRUE(h.seek(SeekOrigin::End, 0));
  ASSERT_TRUE(h.write(bytes_of("defgh")));
  ASSERT_TRUE(h.close());
  EXPECT_EQ(content_of(*fs, small), "abcdefgh");
  EXPECT_EQ(content_of(*b, small), "abc");
  b.reset();  // the last other owner of big's block goes
  EXPECT_FALSE(shares_content(*fs, big));
}

TEST(Clone, ByteBufferCopiesOnEveryKindOfChange) {
  ByteBuffer original;
  original.append(bytes_of("hello").data(), 5);
  ByteBuffer grown = original.share(), shrunk = original.share(), poked = original.share();
  grown.append(bytes_of("!").data(), 1);
  shrunk.resize(2);
  poked.data()[0] = 'J';
  auto text = [](const ByteBuffer& b) { return std::string(b.begin(), b.end()); };
  EXPECT_EQ(text(original), "hello");
  EXPECT_EQ(text(grown), "hello!");
  EXPECT_EQ(text(shrunk), "he");
  EXPECT_EQ(text(poked), "Jello");
  EXPECT_FALSE(original.shared());
  ByteBuffer empty;
  EXPECT_EQ(empty.share().size(), 0u);
}

TEST(Clone, BlocksOfRecordsGoBackOnlyWithTheirLastRecord) {
  // Three blocks' worth and a part of a fourth.
  auto fs = FileSystem::create();
  const std::size_t n = 3 * RecordArena::per_block() + 100, blocks = 4;
  for (std::size_t i = 1; i < n; ++i) must_do(fs->touch("/" + std::to_string(i)));
  const std::size_t cached = RecordArena::cached_blocks();
  auto copy = fs->clone();
  EXPECT_EQ(RecordArena::cached_blocks(), cached > blocks ? cached - blocks : 0);
  INodeRef kept = copy->lookup(*copy->get_inode_by_path_raw("/5"));  // in the first block
  must_do(copy->rm("/", true));  // frees all but `kept` and the root, out of order
  EXPECT_EQ(RecordArena::cached_blocks(), std::max(cached, blocks) - 1);
  copy.reset();
  EXPECT_EQ(kept->name.view(), "5");
  kept = nullptr;
  EXPECT_EQ(RecordArena::cached_blocks(), std::max(cached, blocks));
  // A restored snapshot is made the same way, and renders the same.
  auto back = FileSystem::restore(*decode_snapshot(*encode_snapshot(fs->clone()->snapshot_image())));
  EXPECT_EQ(back->render(), fs->render());
  EXPECT_EQ(check_fs_invariants(*back, true), "");
}

TEST(Clone, ListingsInBlocksChangeLikeAnyOther) {
  // Directories of 12 children (indexed) and of 3 (scanned), enough of them
  // for the copy's listings to go into blocks.
  auto round = [] {
    auto fs = FileSystem::create();
    for (int d = 0; d < 120; ++d) {
      const std::string dir = "/d" + std::to_string(d);
      must_do(fs->mkdir(dir));
      for (int f = 0; f < (d % 2 ? 12 : 3); ++f) must_do(fs->touch(dir + "/f" + std::to_string(f)));
    }
    auto copy = fs->clone();
    // The same changes on both sides: growing past the copied room, leaving
    // tombstones, emptying, and growing an index.
    for (const auto& side : {fs, copy}) {
      for (int d = 0; d < 120; ++d) {
        const std::string dir = "/d" + std::to_string(d);
        must_do(side->touch(dir + "/new"));
        must_do(side->rm(dir + "/f1", false));
        if (d % 7 == 0) must_do(side->rm(dir, true));
      }
      for (int f = 0; f < 40; ++f) must_do(side->touch("/d1/more" + std::to_string(f)));
    }
    EXPECT_EQ(copy->render(), fs->render());
    EXPECT_EQ(check_fs_invariants(*copy, true), "");
    EXPECT_TRUE(copy->get_inode_by_path_raw("/d1/more39"));
    EXPECT_ERR(copy->get_inode_by_path_raw("/d3/f1"), K::InodeNotFound);
  };
  round();
  const std::size_t cached = RecordArena::cached_blocks();
  EXPECT_GT(cached, 0u);
  round();  // takes the same blocks again, and gives every one back
  EXPECT_EQ(RecordArena::cached_blocks(), cached);
}

// Random trees: directories and files with random contents, some removed.
std::shared_ptr<FileSystem> random_tree(std::mt19937& rng) {
  auto fs = FileSystem::create();
  std::vector<std::string> dirs = {""};
  for (int i = 0, n = static_cast<int>(rng() % 60); i < n; ++i) {
    const std::string path = dirs[rng() % dirs.size()] + "/" + std::string(1, static_cast<char>('a' + rng() % 6));
    switch (rng() % 4) {
      case 0:
        if (fs->mkdir(path)) dirs.push_back(path);
        break;
      case 1:
        (void)fs->rm(path, true);
        break;
      default:
        if (fs->touch(path)) write_file(fs, path, std::string(rng() % 70, static_cast<char>(rng())));
    }
  }
  return fs;
}

TEST(Snapshot, RandomTreesComeBackAsTheyWere) {
  std::mt19937 rng(16);
  for (int round = 0; round < 200; ++round) {
    auto fs = random_tree(rng);
    auto bytes = encode_snapshot(fs->clone()->snapshot_image());
    ASSERT_TRUE(bytes);
    auto image = decode_snapshot(*bytes);
    ASSERT_TRUE(image) << image.error().message;
    auto back = FileSystem::restore(*image);
    ASSERT_EQ(back->render(), fs->render()) << "round " << round;
    ASSERT_EQ(check_fs_invariants(*back, true), "");
    // Canonical: saving the restored file system gives the same bytes.
    ASSERT_EQ(*encode_snapshot(back->snapshot_image()), *bytes);
  }
}

}  // namespace
}  // namespace ferrowick
