#include <gtest/gtest.h>

#include <string>
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/expected.h"
#include "common/poison_lock.h"
#include "common/byte_buffer.h"
#include "common/raw_rw_lock.h"
#include "error/io_error.h"

namespace ferrowick {
namespace {

TEST(PoisonLock, PanicWhileHeldPoisonsMutex) {
  Mutex<int> m;
  EXPECT_THROW(
      {
        auto g = m.lock();
        *g = 1;
        panic("boom");
      },
      Panic);
  EXPECT_TRUE(m.is_poisoned());
  try {
    (void)m.lock();
    FAIL() << "lock of a poisoned mutex must panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), kPoisonedLock);
  }
}

TEST(PoisonLock, PanicAfterReleaseDoesNotPoison) {
  RwLock<int> rw;
  EXPECT_THROW(
      {
        { auto g = rw.write(); *g = 2; }
        panic("later");
      },
      Panic);
  EXPECT_FALSE(rw.is_poisoned());
  EXPECT_EQ(*rw.read(), 2);
}

TEST(PoisonLock, ReadGuardPoisonsRwLockToo) {
  RwLock<int> rw;
  EXPECT_THROW({ auto g = rw.read(); panic("x"); }, Panic);
  EXPECT_THROW((void)rw.write(), Panic);
}

TEST(PoisonLock, OtherExceptionsLeaveTheLockUsable) {
  Mutex<int> m;
  RwLock<int> rw;
  EXPECT_THROW({ auto g = m.lock(); *g = 1; throw std::bad_alloc(); }, std::bad_alloc);
  EXPECT_THROW({ auto g = rw.write(); *g = 2; throw std::bad_alloc(); }, std::bad_alloc);
  EXPECT_THROW({ auto g = rw.read(); throw std::runtime_error("x"); }, std::runtime_error);
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_FALSE(rw.is_poisoned());
  EXPECT_EQ(*m.lock(), 1);
  EXPECT_EQ(*rw.read(), 2);
  // A Panic raised and handled while a guard lives does not poison it.
  {
    auto g = m.lock();
    try {
      panic("handled");
    } catch (const Panic&) {
    }
  }
  EXPECT_FALSE(m.is_poisoned());
}

// This test drives the lock word by hand, its try-locks inside EXPECT
// macros, across threads: beyond what the thread-safety analysis follows.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif
TEST(RawRwLock, ReadersShareWritersExclude) {
  RawRwLock lock;
  lock.lock_shared();
  EXPECT_TRUE(lock.try_lock_shared());  // readers share
  EXPECT_FALSE(lock.try_lock());
  lock.unlock_shared();
  std::atomic<int> stage{0};
  // A writer sleeps until the last reader leaves; a reader until the
  // writer is done.
  std::thread writer([&] {
    lock.lock();
    stage.store(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stage.store(2);
    lock.unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stage.load(), 0);  // still held for reading
  lock.unlock_shared();
  while (stage.load() == 0) std::this_thread::yield();
  lock.lock_shared();
  EXPECT_EQ(stage.load(), 2);
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(lock.try_lock());
  lock.poison();
  lock.unlock();
  EXPECT_TRUE(lock.poisoned());  // the bit outlives the release
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

TEST(RawRwLock, ManyThreadsKeepACounterExact) {
  RawRwLock lock;
  long counter = 0;
  std::atomic<long> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 4 == 0) {
          lock.lock();
          ++counter;  // odd only while the writer holds the lock
          ++counter;
          lock.unlock();
        } else {
          lock.lock_shared();
          if (counter % 2) torn.fetch_add(1);
          lock.unlock_shared();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 2 * 4 * 5000);
  EXPECT_EQ(torn.load(), 0);
}

TEST(ByteBuffer, GrowsZeroFillsAndSurvivesAFailedReservation) {
  ByteBuffer b;
  EXPECT_EQ(b.capacity(), 0u);  // an empty buffer owns nothing
  const std::uint8_t bytes[] = {1, 2, 3};
  b.append(bytes, 3);
  b.resize(6);
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.end()), (std::vector<std::uint8_t>{1, 2, 3, 0, 0, 0}));
  EXPECT_THROW(b.reserve(SIZE_MAX), std::bad_alloc);
  EXPECT_EQ(b.size(), 6u);
  EXPECT_EQ(b[2], 3);
  ByteBuffer copy = b;
  ByteBuffer moved(std::move(b));
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(copy.begin(), copy.end()), std::vector<std::uint8_t>(moved.begin(), moved.end()));
}

TEST(IoError, MessagesAndNames) {
  struct Row {
    IoError err;
    const char* message;
    const char* name;
  };
  using K = IoError::Kind;
  const Row rows[] = {
      {K::InodeNotFound, "Inode not found", "InodeNotFound"},
      {K::NotADirectory, "The specified INode is not a directory", "NotADirectory"},
      {K::NotAFile, "The specified INode is not a file", "NotAFile"},
      {K::NotASymlink, "The specified INode is not a symlink", "NotASymlink"},
      {K::MaxRecursionDepthExceeded, "Maximum filesystem depth exceeded", "MaxRecursionDepthExceeded"},
      {K::ResourceAlreadyExists, "Resource already exists", "ResourceAlreadyExists"},
      {K::DirectoryIsNotEmpty, "Directory is not empty", "DirectoryIsNotEmpty"},
      {K::ResourceCurrentInUse, "Resource is currently in use", "ResourceCurrentInUse"},
      {K::UnrecognizedFileMode, "Unrecognized file mode", "UnrecognizedFileMode"},
      {IoError::operation_not_supported("write"), "File does not support the specified operation: write",
       "OperationNotSupported(\"write\")"},
      {IoError::operation_not_supported("read"), "File does not support the specified operation: read",
       "OperationNotSupported(\"read\")"},
      {K::InvalidFileDescriptor, "Invalid file descriptor", "InvalidFileDescriptor"},
      {K::InvalidMove, "A directory cannot be moved into itself", "InvalidMove"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.err.message(), r.message);
    EXPECT_EQ(r.err.name(), r.name);
  }
  EXPECT_FALSE(IoError::operation_not_supported("read") == IoError::operation_not_supported("write"));
}

}  // namespace
}  // namespace ferrowick
