// The lock protocol on a file's FileLock word.
//
//   from   | event                           | to
//   0      | acquire exclusive (a writer)     | -1
//   n >= 0 | acquire shared (no WRITE)       | n + 1
//   -1     | release exclusive               | 0
//   n > 0  | release shared                  | n - 1
//   0      | begin removal                   | -2
//   -1, -2 | any acquire                     | unchanged, ResourceCurrentInUse
//   n > 0  | acquire exclusive               | unchanged, ResourceCurrentInUse
//
// Every transition is a compare-and-swap except the writer's release, a
// single release store. Callers hold the file's `data` lock (for reading is
// enough), so the record cannot go away meanwhile.
#pragma once

#include "common/expected.h"
#include "error/io_error.h"
#include "fs/inode.h"

namespace ferrowick {

// Takes one share of `lock`: the exclusive writer share when `exclusive`,
// otherwise one more reader. Fails with ResourceCurrentInUse, changing
// nothing, when the lock is held in a conflicting way or being removed.
Expected<void, IoError> acquire_file_lock(const FileLock& lock, bool exclusive);

// Gives back a share taken by acquire_file_lock. Panics with
// "assertion failed: self.flag.load(Ordering::Acquire) == FileLock::WRITE_EXCLUSIVE"
// (writer) or "assertion failed: flag > 0" (reader) when the word does not
// hold such a share.
void release_file_lock(const FileLock& lock, bool exclusive);

// Marks a free file as being removed (0 -> -2); false when any handle is
// open or a removal is already under way.
bool begin_file_removal(const FileLock& lock);

// Undoes begin_file_removal when the removal fails after all (-2 -> 0).
void abort_file_removal(const FileLock& lock);

// Whether a writer holds `lock` (-1). Handles take the word under the file
// system's namespace lock, so while that lock is held exclusively the answer
// can change from yes to no, never back.
inline bool has_file_writer(const FileLock& lock) noexcept {
  return lock.flag.load(std::memory_order_acquire) == FileLock::WRITE_EXCLUSIVE;
}

}  // namespace ferrowick
