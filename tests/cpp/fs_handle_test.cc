// File handles: modes, the lock protocol, read / write / seek / close,
// opening by path and by identifier, destruction, concurrent readers.
#include <atomic>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "fs/file_lock.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

constexpr auto R = FileHandleType::READ, W = FileHandleType::WRITE, NONE = FileHandleType::EMPTY;
constexpr auto RW = R | W;

TEST(FileMode, ParsesExactlyTheFiveTextsAndRenders) {
  const std::vector<std::pair<const char*, std::optional<FileHandleType>>> rows = {
      {"", NONE}, {"r", R}, {"w", W}, {"rw", RW}, {"wr", RW}, {"rr", {}}, {"ww", {}},
      {"a", {}},  {"R", {}}, {"r+", {}}, {"rwr", {}}, {" r", {}}};
  for (const auto& [text, want] : rows) {
    if (want) {
      EXPECT_EQ(must(file_handle_type_from_str(text)), *want) << text;
    } else {
      EXPECT_ERR(file_handle_type_from_str(text), K::UnrecognizedFileMode) << text;
    }
  }
  EXPECT_EQ(render_file_handle_type(NONE), "FileHandleType(0x0)");
  EXPECT_EQ(render_file_handle_type(W), "FileHandleType(WRITE)");
  EXPECT_EQ(render_file_handle_type(RW), "FileHandleType(READ | WRITE)");
}

TEST(FileLockProtocol, TransitionTable) {
  enum Op { kShared, kExclusive, kUnshare, kUnexclusive, kRemove };
  const std::string writer_assert = "assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE";
  const std::string reader_assert = "assertion failed: flag > 0";
  struct Row {
    std::int32_t from;
    Op op;
    std::int32_t to;
    std::string outcome;  // "ok", "refused" or a panic message
  };
  const std::vector<Row> rows = {
      {0, kExclusive, -1, "ok"},      {0, kShared, 1, "ok"},          {3, kShared, 4, "ok"},
      {-1, kUnexclusive, 0, "ok"},    {2, kUnshare, 1, "ok"},         {0, kRemove, -2, "ok"},
      {-1, kShared, -1, "refused"},   {-1, kExclusive, -1, "refused"}, {-2, kShared, -2, "refused"},
      {-2, kExclusive, -2, "refused"}, {1, kExclusive, 1, "refused"},  {1, kRemove, 1, "refused"},
      {-1, kRemove, -1, "refused"},   {0, kUnexclusive, 0, writer_assert}, {2, kUnexclusive, 2, writer_assert},
      {0, kUnshare, 0, reader_assert}, {-1, kUnshare, -1, reader_assert}};
  for (const Row& row : rows) {
    FileLock lock;
    lock.flag.store(row.from);
    std::string outcome = "ok";
    try {
      bool ok = true;
      if (row.op == kShared || row.op == kExclusive) ok = acquire_file_lock(lock, row.op == kExclusive).has_value();
      if (row.op == kUnshare || row.op == kUnexclusive) release_file_lock(lock, row.op == kUnexclusive);
      if (row.op == kRemove) ok = begin_file_removal(lock);
      if (!ok) outcome = "refused";
    } catch (const Panic& p) {
      outcome = p.message();
    }
    EXPECT_EQ(outcome, row.outcome) << row.from << " op " << row.op;
    EXPECT_EQ(lock.flag.load(), row.to) << row.from << " op " << row.op;
  }
}

class HandleTest : public ::testing::Test {
 protected:
  FileHandle open(const char* path, FileHandleType type, bool create = false) {
    return must(FileSystem::open(fs, path, type, create));
  }
  InodeId file_with(const char* name, std::string_view content) {
    const InodeId id = make_file(*fs, kRootId, name);
    must(open(name, W).write(bytes_of(content)));
    return id;
  }
  std::shared_ptr<FileSystem> fs = FileSystem::create();
};

TEST_F(HandleTest, ReadersShareWritersExcludeAndEmptyModeCountsAsReader) {
  const InodeId f = file_with("f", "data");
  FileHandle r1 = open("/f", R);
  FileHandle none = open("/f", NONE);
  EXPECT_EQ(flag_of(*fs, f), 2);
  EXPECT_ERR(FileSystem::open(fs, "/f", W, false), K::ResourceCurrentInUse);
  std::uint8_t buf[4];
  EXPECT_EQ(error_of(none.read(buf)).message(), "File does not support the specified operation: read");
  EXPECT_EQ(error_of(none.write(bytes_of("x"))).message(), "File does not support the specified operation: write");
  ASSERT_TRUE(none.seek(SeekOrigin::End, 1));
  EXPECT_EQ(none.offset(), 3u);
  ASSERT_TRUE(r1.close() && none.close());
  FileHandle w = open("/f", RW);
  EXPECT_EQ(flag_of(*fs, f), FileLock::WRITE_EXCLUSIVE);
  EXPECT_ERR(FileSystem::open(fs, "/f", NONE, false), K::ResourceCurrentInUse);
}

TEST_F(HandleTest, ReadMovesTheOffsetWriteDoesNotAndClosedHandlesRefuseAll) {
  file_with("f", "abcd");
  FileHandle h = open("/f", R);
  std::uint8_t buf[10] = {};
  EXPECT_EQ(must(h.read(buf)), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
  EXPECT_EQ(h.offset(), 4u);
  EXPECT_EQ(must(h.read(buf)), 0u);

  FileHandle w = open("/g", RW, /*create=*/true);
  const InodeId g = must(fs->get_inode_by_path_raw("/g"));
  EXPECT_EQ(must(w.write(bytes_of("abc"))), 3u);
  EXPECT_EQ(must(w.write(bytes_of("xy"))), 2u);
  EXPECT_EQ(w.offset(), 0u);
  EXPECT_EQ(content_of(*fs, g), "xyc");
  ASSERT_TRUE(w.seek(SeekOrigin::End, 0));
  const std::string tail(40, 'z');  // appended at the end: the file grows
  EXPECT_EQ(must(w.write(bytes_of(tail))), 40u);
  EXPECT_EQ(content_of(*fs, g), "xyc" + tail);

  ASSERT_TRUE(w.close());
  EXPECT_EQ(flag_of(*fs, g), 0);
  EXPECT_FALSE(w.id().has_value());
  EXPECT_EQ(error_of(w.close()).message(), "Invalid file descriptor");
  EXPECT_ERR(w.read(buf), K::InvalidFileDescriptor);
  EXPECT_ERR(w.write(bytes_of("y")), K::InvalidFileDescriptor);
  EXPECT_ERR(w.seek(SeekOrigin::Start, 0), K::InvalidFileDescriptor);
  EXPECT_EQ(content_of(*fs, g), "xyc" + tail);
}

TEST_F(HandleTest, SeekClampsToTheFile) {
  file_with("f", "0123456789");
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Row {
    SeekOrigin origin;
    std::uint64_t distance;
    std::size_t offset_after;
  };
  const std::vector<Row> rows = {  // applied in order to one handle
      {SeekOrigin::Start, 20, 10},  {SeekOrigin::Start, 4, 4},   {SeekOrigin::End, 3, 7},
      {SeekOrigin::Current, 2, 9},  {SeekOrigin::End, 20, 0},    {SeekOrigin::Current, 3, 3},
      {SeekOrigin::Current, kMax, 10}, {SeekOrigin::End, 0, 10}, {SeekOrigin::Start, 0, 0}};
  FileHandle h = open("/f", R);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_TRUE(h.seek(rows[i].origin, rows[i].distance)) << i;
    EXPECT_EQ(h.offset(), rows[i].offset_after) << "row " << i;
  }
}

TEST_F(HandleTest, ReadIntoAllocatesOnlyWhatItReturns) {
  file_with("f", "hello");
  FileHandle h = open("/f", R);
  ASSERT_TRUE(h.seek(SeekOrigin::Start, 1));
  std::vector<std::size_t> requests;
  std::string out;
  auto alloc = [&](std::size_t n) {
    requests.push_back(n);
    out.resize(n);
    return reinterpret_cast<std::uint8_t*>(out.data());
  };
  EXPECT_EQ(must(h.read_into(std::size_t{1} << 40, alloc)), 4u);
  EXPECT_EQ(out, "ello");
  EXPECT_EQ(must(h.read_into(3, alloc)), 0u);  // at the end: one request for 0 bytes
  EXPECT_EQ(requests, (std::vector<std::size_t>{4, 0}));
  // Failing checks come first and never allocate.
  FileHandle w = open("/g", W, true);
  EXPECT_EQ(error_of(w.read_into(8, alloc)), IoError::operation_not_supported("read"));
  ASSERT_TRUE(h.close());
  EXPECT_ERR(h.read_into(8, alloc), K::InvalidFileDescriptor);
  EXPECT_EQ(requests.size(), 2u);
}

TEST_F(HandleTest, OpenFailuresChangeNothing) {
  ASSERT_TRUE(fs->mkdir("/d"));
  file_with("f", "");
  struct Row {
    const char* path;
    bool create;
    K expected;
  };
  const std::uint64_t next = fs->next_inode_id();
  for (const Row& row : std::vector<Row>{{"/", true, K::NotAFile},
                                         {"/d/", true, K::NotAFile},
                                         {"/d/.", true, K::NotAFile},
                                         {"/d/..", false, K::NotAFile},
                                         {"/f/x", true, K::NotADirectory},
                                         {"/missing/x", true, K::InodeNotFound},
                                         {"/d/none", false, K::InodeNotFound}}) {
    EXPECT_ERR(FileSystem::open(fs, row.path, W, row.create), row.expected) << row.path;
  }
  EXPECT_EQ(fs->next_inode_id(), next);
  EXPECT_EQ(fs->inode_count(), 3u);
  // Creation does not depend on the mode; a second writer is refused.
  FileHandle h = open("/d/new", R, true);
  EXPECT_EQ(content_of(*fs, must(fs->get_inode_by_path_raw("/d/new"))), "");
  EXPECT_ERR(FileSystem::open(fs, "/d/new", W, true), K::ResourceCurrentInUse);
}

TEST_F(HandleTest, OpenRawResolvesAndHandlesRender) {
  const InodeId f = file_with("f", "");
  const InodeId link = must(fs->create_inode(kRootId, "l", Symlink{f}));
  EXPECT_ERR(FileSystem::open_raw(fs, kRootId, R), K::NotAFile);
  EXPECT_ERR(FileSystem::open_raw(fs, 999, R), K::InodeNotFound);
  FileHandle by_raw = must(FileSystem::open_raw(fs, link, R));
  EXPECT_EQ(by_raw.id(), f);  // open_raw resolves before opening
  FileHandle by_new = must(FileHandle::create(fs, link, R));
  EXPECT_EQ(by_new.id(), link);  // the handle keeps the id it was given
  EXPECT_EQ(by_raw.render(), "FileHandle { id: Some(1), type: FileHandleType(READ), fs: " + fs->render() + ", offset: 0 }");
  ASSERT_TRUE(by_raw.close());
  EXPECT_EQ(by_raw.render(), "FileHandle { id: None, type: FileHandleType(READ), fs: " + fs->render() + ", offset: 0 }");
}

std::vector<std::string> g_drop_reports;

TEST_F(HandleTest, DestructionClosesAndReportsFailures) {
  const InodeId f = file_with("f", "");  // file_with's writer was closed by its destructor
  EXPECT_EQ(flag_of(*fs, f), 0);
  g_drop_reports.clear();
  set_drop_panic_hook([](const Panic& p) { g_drop_reports.push_back(p.message()); });
  {
    FileHandle h = open("/f", R);
    fs->release_inode_id(f);  // the record goes while the handle is open
  }
  {
    const InodeId g = file_with("g", "");
    FileHandle h = open("/g", W);
    std::get<File>(*fs->lookup(g)->data.read()).lock.flag.store(0);  // broken behind its back
    try {
      (void)h.close();
      ADD_FAILURE() << "close of a broken lock must panic";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
    }
  }  // the destructor meets the lock that panic poisoned
  set_drop_panic_hook(nullptr);
  ASSERT_EQ(g_drop_reports.size(), 2u);
  EXPECT_NE(g_drop_reports[0].find("InodeNotFound"), std::string::npos) << g_drop_reports[0];
  EXPECT_EQ(g_drop_reports[1], kPoisonedLock);
}

TEST_F(HandleTest, AWriterNeverCoexistsWithAReader) {
  const InodeId f = file_with("f", "shared");
  constexpr int kReaders = 3, kRounds = 2000;
  std::atomic<int> readers_in{0}, writers_in{0}, faults{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto h = FileSystem::open_raw(fs, f, R);
        if (!h) continue;  // the writer holds it
        readers_in.fetch_add(1);
        std::uint8_t buf[8];
        auto n = h->read(buf);
        faults.fetch_add((writers_in.load() != 0) + (!n || *n != 6));
        readers_in.fetch_sub(1);
        faults.fetch_add(h->close() ? 0 : 1);
      }
    });
  }
  std::thread writer([&] {
    while (!stop.load()) {
      auto h = FileSystem::open_raw(fs, f, W);
      if (!h) {
        faults.fetch_add(h.error() == IoError(K::ResourceCurrentInUse) ? 0 : 1);
        continue;
      }
      writers_in.fetch_add(1);
      faults.fetch_add((readers_in.load() != 0) + !h->write(bytes_of("shared")));
      writers_in.fetch_sub(1);
      faults.fetch_add(h->close() ? 0 : 1);
    }
  });
  for (auto& th : readers) th.join();
  stop.store(true);
  writer.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(flag_of(*fs, f), 0);
}

}  // namespace
}  // namespace ferrowick
