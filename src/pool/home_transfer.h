// Moving file-system trees into and out of an account's home.
//
// The process acts as root inside a directory the tenant owns and may
// change at any moment, so nothing here resolves a path through the host:
// the home is opened once (its ancestors are root's), and every step below
// it goes through a directory descriptor with O_NOFOLLOW. A symbolic link
// the tenant planted is never followed: where the walk must pass it fails
// (ELOOP or ENOTDIR), where it only lists it skips it. Neither direction
// crosses into another file system mounted below the home.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "fs/file_system.h"
#include "fs/host_copy.h"

namespace ferrowick {

// PyUser.put: writes the subtree at `src` of `fs` into directory `dest`
// (relative to `home`; "" for the home itself), creating the missing
// directories of `dest`. Everything created is owned by `uid` (group `uid`)
// with mode 0755 or 0644; an existing non-directory where a file goes is
// replaced, a link or file where a directory goes fails (ELOOP, ENOTDIR),
// as does a mount point (EXDEV). A `dest` holding ".." is refused. Walks a
// clone of `fs`, so other threads may change it meanwhile. Returns the
// number of files written.
TransferResult<std::uint64_t> put_into_home(const FileSystem& fs, std::string_view src, std::string_view home,
                                            uid_t uid, std::string_view dest);

// PyUser.get: a new file system holding the directories and regular files
// below `src` (relative to `home`; "" for the home itself). Links, FIFOs,
// sockets, devices and mount points are skipped; a link on the way to
// `src` fails (ELOOP, ENOTDIR). A file `uid` does not own that has more
// than one link (another's file hard-linked into the home) is skipped too.
// More than `max_bytes` of file content in total is refused before it is
// read.
TransferResult<std::shared_ptr<FileSystem>> get_from_home(std::string_view home, uid_t uid, std::string_view src,
                                                          std::uint64_t max_bytes);

}  // namespace ferrowick
