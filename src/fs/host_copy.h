// Copying trees between a FileSystem and directories of the host.
//
// Only directories and regular files travel. Host symbolic links, devices,
// FIFOs and sockets are skipped, and so are the file system's links. The
// host side is walked through directory descriptors: every entry is opened
// relative to its directory with O_NOFOLLOW, so no link met below the
// starting directory is ever followed, whoever planted it.
//
// File contents move with one copy each way: a host file is read straight
// into the buffer that becomes the file's content, and a file's content is
// written to the host from the file system's own buffer (shared, not copied,
// for the length of the write).
//
// Everything here blocks on the host and takes only the file system's own
// locks, so callers may run it without any lock of their own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "error/io_error.h"
#include "fs/inode.h"

namespace ferrowick {

class FileSystem;

// Why a copy stopped: a host call failed (errno and the host path), the file
// system refused (IoError), or the copy itself refused to go on (a text).
struct TransferError {
  enum class Kind : std::uint8_t { Host, Fs, Refused };
  Kind kind = Kind::Host;
  int err = 0;
  IoError io;
  std::string text;  // Host: the host path; Refused: the reason

  static TransferError host(int e, std::string path) { return {Kind::Host, e, {}, std::move(path)}; }
  static TransferError fs(IoError e) { return {Kind::Fs, 0, e, {}}; }
  static TransferError refused(std::string why) { return {Kind::Refused, 0, {}, std::move(why)}; }
};

template <class T>
using TransferResult = Expected<T, TransferError>;

// How a host tree is read into a file system.
struct HostReadOptions {
  // Total bytes of file content the walk may read; a file that would take
  // it past this stops the walk (Refused) before any of it is read.
  std::uint64_t max_bytes = UINT64_MAX;
  // Skip directories on another device than the starting one (mount points).
  bool same_device = false;
  // The owner of the tree: a file of another owner with more than one link
  // is someone else's file linked in (where the host lets any user link any
  // file) and is skipped, so its bytes never reach the caller.
  std::optional<uid_t> owner;
};

// Copies what lies below the open host directory `dir_fd` into directory
// `dest` of `fs`: directories are merged with existing ones, a file replaces
// an existing file of the same name (ResourceCurrentInUse when it is open),
// and a host entry whose kind differs from an existing entry fails with
// ResourceAlreadyExists. A host name the file system cannot hold (one with
// "\") fails with Refused. `path` names `dir_fd` in failures. An entry that
// changes kind while it is read is skipped; a file that changes size yields
// what was read. Returns the number of files copied.
TransferResult<std::uint64_t> read_host_tree(FileSystem& fs, int dir_fd, InodeId dest, const HostReadOptions& options,
                                             std::string path);

// How a tree of a file system is written into a host directory.
struct HostWriteOptions {
  // Owner (uid and gid) of everything created, with modes 0755/0644 set
  // exactly; without it, creation modes 0755/0644 under the umask.
  std::optional<uid_t> owner;
  // An existing non-directory where a file goes is unlinked (never opened)
  // and the file created anew; otherwise it fails with EEXIST.
  bool replace = false;
  // Fail with EXDEV instead of entering a directory on another device.
  bool same_device = false;
};

// Writes what lies below directory `src` of `fs` into the open host
// directory `dir_fd`. Directories are created, or entered when they exist
// (a link or a non-directory in the way fails with ELOOP or ENOTDIR); files
// are always created with O_EXCL, so no existing file is ever written
// through. `path` names `dir_fd` in failures. Returns the files written.
TransferResult<std::uint64_t> write_host_tree(const FileSystem& fs, InodeId src, int dir_fd,
                                              const HostWriteOptions& options, std::string path);

// Opens directory `name` inside `dir_fd` without following a link: ELOOP or
// ENOTDIR when something else is there. With `create`, makes it first when
// missing (owned and moded as create->owner says); with `same_device`, a
// directory on a device other than `dev` fails with EXDEV. `path` names
// `dir_fd` in failures.
TransferResult<UniqueFd> open_host_directory(int dir_fd, std::string_view name, const HostWriteOptions* create,
                                             const dev_t* same_device, const std::string& path);

// Whether the open host directory `fd` lists nothing but "." and "..".
TransferResult<bool> host_directory_empty(int fd, const std::string& path);

// `dir` + "/" + `name` (no doubled "/"), for naming host paths in failures.
std::string host_join(std::string_view dir, std::string_view name);

// PyFs.copy_in: the host directory `host_path` (a link there is followed:
// the caller names it) into `dest`, created with its missing parents. When
// the call created `dest` and then fails, `dest` is removed again.
TransferResult<std::uint64_t> copy_in(FileSystem& fs, std::string_view host_path, std::string_view dest);

// PyFs.copy_out: the subtree at `src` into the host directory `host_path`,
// created (mode 0755 under the umask) unless it is an empty directory
// already; anything else there fails with EEXIST or ENOTDIR. Returns the
// files written.
TransferResult<std::uint64_t> copy_out(const FileSystem& fs, std::string_view src, std::string_view host_path);

// Directory `path` of `fs`, created with its missing parents like mkdir -p;
// `created` gets the first directory the call made, if any.
TransferResult<InodeId> make_directories(FileSystem& fs, std::string_view path, std::optional<InodeId>& created);

}  // namespace ferrowick
