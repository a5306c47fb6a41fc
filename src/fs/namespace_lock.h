// The guards of FileSystem's namespace lock (internal to src/fs). Like every
// lock here they poison on a Panic and release untouched on anything else.
#pragma once

#include "common/poison_lock.h"
#include "fs/file_system.h"

namespace ferrowick {

class FileSystem::SharedNs {
 public:
  explicit SharedNs(const FileSystem& fs) : release_((detail::checked_lock_shared(fs.ns_), &fs.ns_)) {}

 private:
  detail::LockRelease<false> release_;
};

class FileSystem::ExclusiveNs {
 public:
  explicit ExclusiveNs(const FileSystem& fs) : release_((detail::checked_lock(fs.ns_), &fs.ns_)) {}

 private:
  detail::LockRelease<true> release_;
};

}  // namespace ferrowick
