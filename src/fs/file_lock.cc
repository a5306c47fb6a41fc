#include "fs/file_lock.h"

#include <atomic>

namespace ferrowick {

namespace {
Unexpected<IoError> in_use() { return Unexpected(IoError(IoError::Kind::ResourceCurrentInUse)); }
}  // namespace

Expected<void, IoError> acquire_file_lock(const FileLock& lock, bool exclusive) {
  if (exclusive) {
    std::int32_t expected = 0;
    if (!lock.flag.compare_exchange_strong(expected, FileLock::WRITE_EXCLUSIVE, std::memory_order_acquire,
                                           std::memory_order_relaxed))
      return in_use();
    return {};
  }
  std::int32_t flag = lock.flag.load(std::memory_order_acquire);
  while (flag >= 0) {
    // On failure `flag` is reloaded and the loop re-decides.
    if (lock.flag.compare_exchange_weak(flag, flag + 1, std::memory_order_acquire, std::memory_order_acquire))
      return {};
  }
  return in_use();
}

void release_file_lock(const FileLock& lock, bool exclusive) {
  if (exclusive) {
    if (lock.flag.load(std::memory_order_acquire) != FileLock::WRITE_EXCLUSIVE)
      panic("assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE");
    lock.flag.store(0, std::memory_order_release);
    return;
  }
  std::int32_t flag = lock.flag.load(std::memory_order_acquire);
  while (flag > 0) {
    if (lock.flag.compare_exchange_weak(flag, flag - 1, std::memory_order_release, std::memory_order_acquire))
      return;
  }
  panic("assertion failed: flag > 0");
}

bool begin_file_removal(const FileLock& lock) {
  std::int32_t expected = 0;
  return lock.flag.compare_exchange_strong(expected, FileLock::REMOVING, std::memory_order_acquire,
                                           std::memory_order_relaxed);
}

void abort_file_removal(const FileLock& lock) {
  std::int32_t expected = FileLock::REMOVING;
  lock.flag.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed);
}

}  // namespace ferrowick
