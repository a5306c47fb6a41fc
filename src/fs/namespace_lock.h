// The guards of FileSystem's namespace lock (internal to src/fs). Like every
// lock here they poison on a Panic and release untouched on anything else.
// Scoped capabilities: the analysis knows the lock held for their lifetime.
#pragma once

#include "common/poison_lock.h"
#include "common/thread_annotations.h"
#include "fs/file_system.h"

namespace ferrowick {

class SCOPED_CAPABILITY FileSystem::SharedNs {
 public:
  explicit SharedNs(const FileSystem& fs) ACQUIRE_SHARED(fs.ns_) : release_((detail::checked_lock_shared(fs.ns_), &fs.ns_)) {}
  ~SharedNs() RELEASE() {}

 private:
  detail::LockRelease<false> release_;
};

class SCOPED_CAPABILITY FileSystem::ExclusiveNs {
 public:
  explicit ExclusiveNs(const FileSystem& fs) ACQUIRE(fs.ns_) : release_((detail::checked_lock(fs.ns_), &fs.ns_)) {}
  ~ExclusiveNs() RELEASE() {}

 private:
  detail::LockRelease<true> release_;
};

}  // namespace ferrowick
