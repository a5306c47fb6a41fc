// FileSystem: the in-memory virtual file system.
//
// A concurrent table from inode identifier to INode plus a counter that hands
// out identifiers (never reused). Shared by reference counting: PyFs, every
// FileHandle and every terminal hold a std::shared_ptr<FileSystem>.
//
// Every fallible operation returns its value or exactly one IoError. Taking a
// poisoned inode lock panics (internal assertion failure).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "error/io_error.h"
#include "fs/inode.h"
#include "fs/inode_table.h"
#include "fs/snapshot_image.h"

namespace ferrowick {

class FileHandle;
enum class FileHandleType : std::uint32_t;

// The names in one directory: first every non-directory, then every
// directory, each in creation order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

class FileSystem {
 public:
  // A new file system holding only the root directory (id 0).
  static std::shared_ptr<FileSystem> create();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // --- Inode store -------------------------------------------------------
  // Creates `name` under `parent` with the given kind. Check order: invalid
  // name (no id spent), spend an id, resolve parent, duplicate name, depth,
  // parent kind.
  Expected<InodeId, IoError> create_inode(InodeId parent, std::string name, INodeKind kind);
  // Follows symbolic links; the id itself for any other kind. A chain of more
  // than kMaxLinkHops links fails with MaxRecursionDepthExceeded.
  Expected<InodeId, IoError> get_inode_raw(InodeId id) const;
  // get_inode_raw plus a guard on the record it designates, in one look-up
  // per hop (InodeNotFound when a record along the way is absent).
  Expected<INodeRef, IoError> resolve_inode(InodeId id) const;
  // Removes the record from the table (absent ids are ignored). Does not
  // touch any directory's children.
  void release_inode_id(InodeId id);
  // Table access: a guard, or null when absent.
  INodeRef lookup(InodeId id) const { return table_.get(id); }
  std::uint64_t next_inode_id() const { return next_inode_id_.load(); }
  std::size_t inode_count() const { return table_.size(); }

  // --- Path resolution ---------------------------------------------------
  // One name (never split) inside the guarded inode: "" and "." name the
  // inode itself, ".." its parent; anything else a child of a directory.
  Expected<InodeId, IoError> find_inode_by_name_with_handle(const INode& inode, std::string_view name) const;
  Expected<InodeId, IoError> find_inode_by_name(InodeId id, std::string_view name) const;
  // Resolves a whole path from the root; "/" and "\" both separate.
  Expected<InodeId, IoError> get_inode_by_path_raw(std::string_view path) const;
  // The absolute path of `id` ("/" for the root).
  Expected<std::string, IoError> get_path_by_inode(InodeId id) const;
  Expected<bool, IoError> is_file_raw(InodeId id) const;
  Expected<bool, IoError> is_directory_raw(InodeId id) const;

  // --- Namespace operations ----------------------------------------------
  Expected<void, IoError> mkdir(std::string_view path);
  Expected<void, IoError> touch(std::string_view path);
  Expected<void, IoError> rm(std::string_view path, bool recursive);
  // Depth-first, two phases; the first failure ends it and what was removed
  // stays removed. Removing the root removes what is below it and keeps it.
  // A file with an open handle is refused with ResourceCurrentInUse. A
  // symbolic link is removed itself; its target is left alone.
  Expected<void, IoError> rm_raw(InodeId id, bool recursive);
  // Panics (naming the IoError) if a listed child has no record or does not
  // resolve, which a sound file system never shows.
  Expected<Listing, IoError> ls_raw(InodeId id) const;

  // --- Opening files (see file_handle.h) -----------------------------------
  static Expected<FileHandle, IoError> open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                            FileHandleType type, bool create);
  static Expected<FileHandle, IoError> open_raw(std::shared_ptr<FileSystem> fs, InodeId id,
                                                FileHandleType type);

  // --- Workspaces (workspace.cc) -------------------------------------------
  // A new, independent file system with the same tree: names, child order,
  // contents, identifiers and next_inode_id; every lock word 0. File
  // contents are shared copy-on-write, so the cost is O(inodes). Safe while
  // other threads change this file system: each directory and each file is
  // copied as it was at one moment.
  std::shared_ptr<FileSystem> clone() const;
  // Describes the tree for the snapshot encoder. The image points into this
  // file system's records, so no other thread may change it meanwhile (take
  // it of a clone).
  SnapshotImage snapshot_image() const;
  // Builds a file system from a well-formed image (decode_snapshot's).
  static std::shared_ptr<FileSystem> restore(const SnapshotImage& image);

  // One-line diagnostic rendering:
  // "FileSystem { inodes: {0: INode { ... }}, next_inode_id: 1 }".
  std::string render() const;

  static constexpr std::size_t kMaxLinkHops = 64;

 private:
  FileSystem();
  Expected<void, IoError> create_at(std::string_view path, INodeKind kind);
  // Phase 2 of removal: takes `node` out of its parent and out of the table.
  Expected<void, IoError> detach(const INodeRef& node);
  InodeTable table_;
  std::atomic<std::uint64_t> next_inode_id_{1};
};

// Splits at the last "/" or "\": ("/a/b" -> "/a", "b"; "a" -> "", "a").
struct PathSplit {
  std::string_view parent;
  std::string_view name;
};
PathSplit split_last_separator(std::string_view path);

}  // namespace ferrowick
