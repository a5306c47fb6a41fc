#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/expected.h"
#include "common/poison_lock.h"
#include "common/small_vector.h"
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

TEST(SmallVector, StaysInlineUpToCapacityThenSpills) {
  SmallVector<std::uint8_t, 32> v;
  for (int i = 0; i < 32; ++i) v.push_back(static_cast<std::uint8_t>(i));
  EXPECT_TRUE(v.is_inline());
  v.push_back(32);
  EXPECT_FALSE(v.is_inline());
  for (int i = 0; i < 33; ++i) EXPECT_EQ(v[i], i);
  SmallVector<std::uint8_t, 32> moved(std::move(v));
  EXPECT_EQ(moved.size(), 33u);
  EXPECT_EQ(v.size(), 0u);
  moved.resize(40);
  EXPECT_EQ(moved[39], 0);
  const std::uint8_t tail[] = {7, 8, 9};
  moved.append(tail, 3);
  EXPECT_EQ(moved.size(), 43u);
  EXPECT_EQ(moved[42], 9);
  moved.resize(40);
  SmallVector<std::uint8_t, 32> copy = moved;
  EXPECT_EQ(copy.size(), 40u);
  EXPECT_EQ(copy[10], 10);
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
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.err.message(), r.message);
    EXPECT_EQ(r.err.name(), r.name);
  }
  EXPECT_FALSE(IoError::operation_not_supported("read") == IoError::operation_not_supported("write"));
}

}  // namespace
}  // namespace ferrowick
