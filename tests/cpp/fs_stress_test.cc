// Several threads hammer one shared FileSystem with every kind of operation,
// then the tree is checked at rest: nothing orphaned or listed twice, no
// duplicate names, no identifier handed out twice, every lock word back to 0.
// A watchdog aborts the run if the threads stop making progress (deadlock).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../fuzz/fs_invariants.h"
#include "fs/snapshot_codec.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

using fscheck::check_fs_invariants;

// Aborts the process when the guarded scope outlives `limit`: a deadlocked
// test would otherwise hang until CI kills it, with no hint of where.
class Watchdog {
 public:
  Watchdog(const char* what, std::chrono::seconds limit)
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lk(mu_);
          if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s still running after %llds, assuming a deadlock\n", what,
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

constexpr std::chrono::seconds kWatchdogLimit{120};

// What each worker saw go wrong; checked after the join.
struct Report {
  std::vector<std::string> faults;
  std::vector<InodeId> created;
  long ops = 0, succeeded = 0;

  void fault(std::string what) {
    if (faults.size() < 20) faults.push_back(std::move(what));
  }
  // `r` must either succeed or fail with one of `allowed`.
  template <class T>
  bool expect(const Expected<T, IoError>& r, std::initializer_list<K> allowed, const char* op) {
    ++ops;
    if (r) return ++succeeded, true;
    if (std::find(allowed.begin(), allowed.end(), r.error().kind()) == allowed.end())
      fault(std::string(op) + " failed with " + r.error().name());
    return false;
  }
};

// Runs `body(thread_index, report)` on `threads` threads at once and fails
// the test with every fault or panic any of them reported.
template <class Body>
std::vector<Report> run_workers(int threads, Body body) {
  std::vector<Report> reports(threads);
  {
    Watchdog watchdog("stress workers", kWatchdogLimit);
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < threads) std::this_thread::yield();
        try {
          body(t, reports[t]);
        } catch (const Panic& p) {
          reports[t].fault(std::string("panic: ") + p.what());
        }
      });
    }
    for (auto& th : pool) th.join();
  }
  long ops = 0, succeeded = 0;
  for (int t = 0; t < threads; ++t) {
    for (const auto& f : reports[t].faults) ADD_FAILURE() << "thread " << t << ": " << f;
    ops += reports[t].ops;
    succeeded += reports[t].succeeded;
  }
  // Shows in the log that the workload did real work.
  std::printf("[  stress  ] %d threads, %ld file-system calls, %ld succeeded\n", threads, ops, succeeded);
  return reports;
}


void expect_unique_ids(const std::vector<Report>& reports) {
  std::vector<InodeId> all;
  for (const Report& r : reports) {
    // One thread's identifiers come from one atomic counter: they only grow.
    EXPECT_TRUE(std::is_sorted(r.created.begin(), r.created.end()));
    all.insert(all.end(), r.created.begin(), r.created.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an identifier was handed out twice";
  EXPECT_EQ(std::count(all.begin(), all.end(), kRootId), 0);
}

// Counts a worker out however it leaves, so that a watcher never waits on it.
struct CountOnExit {
  std::atomic<int>& n;
  ~CountOnExit() { n.fetch_add(1); }
};

// Paths over a tiny alphabet, so that threads keep colliding on the same
// entries; both separators are used.
std::string random_path(std::mt19937& rng, int max_depth) {
  static const char* const kNames[] = {"a", "b", "c", "x", "y", "f", "g"};
  std::uniform_int_distribution<int> depth(1, max_depth), name(0, 6), sep(0, 3);
  std::string path;
  for (int i = depth(rng); i > 0; --i) {
    path += sep(rng) == 0 ? '\\' : '/';
    path += kNames[name(rng)];
  }
  return path;
}

// Opens, uses and closes one file. Once open, nothing may fail: an open
// handle pins its file against removal.
void use_file(const std::shared_ptr<FileSystem>& fs, const std::string& path, std::mt19937& rng, Report& report) {
  static const char* const kModes[] = {"r", "w", "rw", ""};
  const char* mode = kModes[rng() % 4];
  auto opened = FileSystem::open(fs, path, *file_handle_type_from_str(mode), rng() % 2 == 0);
  if (!report.expect(opened, {K::InodeNotFound, K::NotADirectory, K::NotAFile, K::ResourceCurrentInUse,
                              K::ResourceAlreadyExists},
                     "open"))
    return;
  FileHandle& h = *opened;
  const std::string payload(rng() % 80, static_cast<char>('A' + rng() % 26));
  if (has_flag(h.type(), FileHandleType::WRITE) && !h.write(bytes_of(payload))) report.fault("write on an open handle");
  if (!h.seek(SeekOrigin::Start, 0)) report.fault("seek on an open handle");
  std::uint8_t buf[64];
  if (has_flag(h.type(), FileHandleType::READ) && !h.read(buf)) report.fault("read on an open handle");
  // Sometimes keep the handle across a removal attempt of its own file (by
  // identifier: a rename may have put another entry at `path` meanwhile).
  if (rng() % 4 == 0) {
    auto removed = fs->rm_raw(*h.id(), false);
    if (removed) report.fault("removed a file with an open handle");
  }
  if (!h.close()) report.fault("close of an open handle");
}

// Renames random entries until the workers are done. Every so often it
// clones the tree, which copies it at one moment, and checks the copy:
// every inode reachable exactly once, no cycle of directories.
void rename_until_done(FileSystem& fs, const std::atomic<int>& done, int workers, Report& report) {
  std::mt19937 rng(99);
  long checked = 0;
  for (long i = 0; done.load() < workers; ++i) {
    report.expect(fs.rename(random_path(rng, 3), random_path(rng, 3)),
                  {K::InodeNotFound, K::NotADirectory, K::NotAFile, K::ResourceAlreadyExists, K::DirectoryIsNotEmpty,
                   K::ResourceCurrentInUse, K::InvalidMove},
                  "rename");
    if (i % 256 == 0) {
      const std::string broken = check_fs_invariants(*fs.clone(), /*expect_unlocked=*/true);
      if (!broken.empty()) report.fault("a clone taken while renaming: " + broken);
      ++checked;
    }
  }
  std::printf("[  stress  ] %ld trees checked while renaming\n", checked);
}

TEST(FsStress, MixedOperationsOnOneTreeKeepItSound) {
  auto fs = FileSystem::create();
  constexpr int kThreads = 4, kOps = 20000;
  std::atomic<int> done{0};
  auto reports = run_workers(kThreads + 1, [&](int t, Report& report) {
    if (t == kThreads) return rename_until_done(*fs, done, kThreads, report);
    CountOnExit counted{done};
    std::mt19937 rng(1000 + t);
    for (int i = 0; i < kOps; ++i) {
      const std::string path = random_path(rng, 3);
      switch (rng() % 10) {
        case 0:
          report.expect(fs->mkdir(path), {K::InodeNotFound, K::NotADirectory, K::ResourceAlreadyExists}, "mkdir");
          break;
        case 1: {  // by identifier, as the terminal does, to collect the ids
          const PathSplit split = split_last_separator(path);
          auto parent = fs->get_inode_by_path_raw(split.parent);
          if (!parent) break;
          INodeKind kind = rng() % 2 ? INodeKind(std::in_place_type<Directory>) : INodeKind(std::in_place_type<File>);
          auto id = fs->create_inode(*parent, std::string(split.name), std::move(kind));
          if (report.expect(id, {K::InodeNotFound, K::NotADirectory, K::ResourceAlreadyExists}, "create_inode"))
            report.created.push_back(*id);
          break;
        }
        case 2:
          report.expect(fs->touch(path), {K::InodeNotFound, K::NotADirectory, K::ResourceAlreadyExists}, "touch");
          break;
        case 3:
        case 4:
          use_file(fs, path, rng, report);
          break;
        case 5: {
          auto id = fs->get_inode_by_path_raw(path);
          if (!report.expect(id, {K::InodeNotFound, K::NotADirectory}, "resolve")) break;
          report.expect(fs->ls_raw(*id), {K::InodeNotFound, K::NotADirectory}, "ls_raw");
          auto back = fs->get_path_by_inode(*id);
          if (report.expect(back, {K::InodeNotFound}, "get_path_by_inode") && back->front() != '/')
            report.fault("relative path " + *back);
          break;
        }
        case 6:
          report.expect(fs->find_inode_by_name(rng() % 40, "a"), {K::InodeNotFound, K::NotADirectory}, "find");
          break;
        case 7:
          report.expect(fs->rm(path, false),
                        {K::InodeNotFound, K::NotADirectory, K::DirectoryIsNotEmpty, K::ResourceCurrentInUse},
                        "rm");
          break;
        default:  // recursive removal of a whole top-level tree, racing with creations below it
          report.expect(fs->rm(random_path(rng, 1), true),
                        {K::InodeNotFound, K::NotADirectory, K::DirectoryIsNotEmpty, K::ResourceCurrentInUse},
                        "rm -r");
          break;
      }
    }
  });
  EXPECT_EQ(check_fs_invariants(*fs, /*expect_unlocked=*/true), "");
  expect_unique_ids(reports);
  // The workload really ran: plenty of entries were created.
  EXPECT_GT(fs->next_inode_id(), 500u);
}

TEST(FsStress, RecursiveRemovalRacesWithDeepCreation) {
  auto fs = FileSystem::create();
  constexpr int kBuilders = 2, kMaxRounds = 5000, kWantedRemovals = 40;
  std::atomic<int> builders_done{0};
  std::atomic<int> removed_trees{0};
  run_workers(kBuilders + 1, [&](int t, Report& report) {
    if (t == kBuilders) {  // keeps removing the tree the builders grow
      while (builders_done.load() < kBuilders) {
        if (report.expect(fs->rm("/t", true), {K::InodeNotFound, K::DirectoryIsNotEmpty}, "rm -r /t"))
          removed_trees.fetch_add(1);
      }
      return;
    }
    CountOnExit done{builders_done};
    std::mt19937 rng(7 + t);
    for (int round = 0; round < kMaxRounds && removed_trees.load() < kWantedRemovals; ++round) {
      std::string path = "/t";
      for (int depth = 0; depth < 12; ++depth) {
        report.expect(fs->mkdir(path), {K::InodeNotFound, K::ResourceAlreadyExists}, "mkdir deep");
        if (rng() % 3 == 0)
          report.expect(fs->touch(path + "/f" + std::to_string(t)), {K::InodeNotFound, K::ResourceAlreadyExists},
                        "touch deep");
        path += t == 0 ? "/n" : "\\n";
      }
    }
  });
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
  EXPECT_GT(removed_trees.load(), 0);
  std::printf("[  stress  ] %d trees removed while being built\n", removed_trees.load());
  // Whatever survived is still removable as a whole.
  if (fs->get_inode_by_path_raw("/t")) {
    EXPECT_TRUE(fs->rm("/t", true));
  }
  EXPECT_EQ(fs->inode_count(), 1u);
}

TEST(FsStress, FileLockKeepsWritersAndReadersApart) {
  auto fs = FileSystem::create();
  ASSERT_TRUE(fs->touch("/shared"));
  const InodeId id = *fs->get_inode_by_path_raw("/shared");
  std::atomic<int> readers{0}, writers{0}, overlaps{0}, torn{0}, writes{0}, reads{0};
  run_workers(4, [&](int t, Report& report) {
    std::mt19937 rng(31 + t);
    for (int i = 0; i < 2000; ++i) {
      const bool write = rng() % 3 == 0;
      auto h = FileSystem::open_raw(fs, id, write ? FileHandleType::WRITE : FileHandleType::READ);
      if (!report.expect(h, {K::ResourceCurrentInUse}, "open_raw")) continue;
      std::uint8_t block[64];
      if (write) {
        writers.fetch_add(1);
        if (readers.load() != 0 || writers.load() != 1) overlaps.fetch_add(1);
        // A whole block of one value: a reader must never see two values.
        std::fill(std::begin(block), std::end(block), static_cast<std::uint8_t>(rng()));
        if (h->write(block)) writes.fetch_add(1);
        writers.fetch_sub(1);
      } else {
        readers.fetch_add(1);
        if (writers.load() != 0) overlaps.fetch_add(1);
        auto n = h->read(block);
        if (n && *n > 0) {
          reads.fetch_add(1);
          if (std::count(block, block + *n, block[0]) != static_cast<long>(*n)) torn.fetch_add(1);
        }
        readers.fetch_sub(1);
      }
      if (!h->close()) report.fault("close");
    }
  });
  EXPECT_EQ(overlaps.load(), 0) << "a writer shared the file with another handle";
  EXPECT_EQ(torn.load(), 0) << "a read saw a half-written block";
  EXPECT_GT(writes.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(flag_of(*fs, id), 0);
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

// A clone's files hold what whole writes left: the writers below write
// blocks of kBlock bytes of one value at offset 0.
constexpr std::size_t kBlock = 48;
std::string torn_file(const SnapshotImage& image) {
  for (const ImageRecord& r : image.records) {
    if (r.kind != KindTag::File || r.data.empty()) continue;
    if (r.data.size() != kBlock || std::count(r.data.begin(), r.data.end(), r.data[0]) != long{kBlock})
      return "file " + std::to_string(r.id) + " holds a torn write";
  }
  return "";
}

TEST(FsStress, ClonesTakenWhileTheTreeChangesAreSound) {
  auto fs = FileSystem::create();
  // Enough records beside the churn for the clones to put theirs in blocks.
  for (int d = 0; d < 50; ++d) {
    const std::string dir = "/settled" + std::to_string(d);
    ASSERT_TRUE(fs->mkdir(dir));
    for (int f = 0; f < 20; ++f) ASSERT_TRUE(fs->touch(dir + "/" + std::to_string(f)));
  }
  constexpr int kMutators = 3;
  std::atomic<int> mutators_done{0};
  std::atomic<long> clones{0};
  run_workers(kMutators + 1, [&](int t, Report& report) {
    if (t == kMutators) {  // clones until the others are done, checking each
      while (mutators_done.load() < kMutators) {
        auto copy = fs->clone();
        const SnapshotImage image = copy->snapshot_image();
        for (const std::string& broken : {check_fs_invariants(*copy, true), torn_file(image)})
          if (!broken.empty()) report.fault("clone: " + broken);
        if (clones.fetch_add(1) % 16 == 0) {  // and a snapshot of it comes back the same
          const auto bytes = encode_snapshot(image);
          auto decoded = decode_snapshot(*bytes);  // views into `bytes`
          if (!decoded || FileSystem::restore(*decoded)->render() != copy->render()) report.fault("snapshot round trip");
        }
      }
      return;
    }
    CountOnExit done{mutators_done};
    std::mt19937 rng(500 + t);
    const std::initializer_list<K> refusals = {K::InodeNotFound, K::NotADirectory, K::ResourceAlreadyExists,
                                               K::DirectoryIsNotEmpty, K::ResourceCurrentInUse, K::NotAFile};
    for (int i = 0; i < 20000 || clones.load() < 50; ++i) {  // changes under 50 clones at least
      const std::string path = random_path(rng, 3);
      switch (rng() % 5) {
        case 0:
          report.expect(fs->mkdir(path), refusals, "mkdir");
          break;
        case 1:
          report.expect(fs->rm(path, false), refusals, "rm");
          break;
        case 2:
          report.expect(fs->rm(random_path(rng, 1), true), refusals, "rm -r");
          break;
        default: {
          auto h = FileSystem::open(fs, path, FileHandleType::WRITE, true);
          if (!report.expect(h, refusals, "open")) break;
          const std::string block(kBlock, static_cast<char>('a' + rng() % 26));
          if (!h->write(bytes_of(block)) || !h->close()) report.fault("write on an open handle");
        }
      }
    }
  });
  EXPECT_GT(clones.load(), 0);
  std::printf("[  stress  ] %ld clones checked while 3 threads changed the tree\n", clones.load());
  EXPECT_EQ(check_fs_invariants(*fs, true), "");
}

TEST(FsStress, InvariantCheckerSpotsBrokenTrees) {
  // The checks above are only worth something if the checker can fail.
  auto fs = FileSystem::create();
  const InodeId d = make_dir(*fs, kRootId, "d");
  const InodeId f = make_file(*fs, d, "f");
  ASSERT_EQ(check_fs_invariants(*fs, true), "");
  {
    auto h = FileSystem::open_raw(fs, f, FileHandleType::READ);
    ASSERT_TRUE(h);
    EXPECT_NE(check_fs_invariants(*fs, true), "");
    EXPECT_EQ(check_fs_invariants(*fs, false), "");
  }
  fs->release_inode_id(f);  // still listed by d: a dangling child
  EXPECT_NE(check_fs_invariants(*fs, true).find("no record"), std::string::npos);
}

}  // namespace
}  // namespace ferrowick
