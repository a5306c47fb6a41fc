// FileSystem: the in-memory virtual file system.
//
// A table from inode identifier to INode plus a counter that hands out
// identifiers (never reused). Shared by reference counting: PyFs, every
// FileHandle and every terminal hold a std::shared_ptr<FileSystem>.
//
// One reader/writer lock, the namespace lock, guards the table and every
// directory's children: look-ups, path walks and listings share it, so they
// take one lock per call however deep they go; creation and removal hold it
// exclusively. A file's bytes are guarded by the file's own lock, so reads
// and writes of files never touch the namespace lock. Lock order: the
// namespace lock before any inode's `data` lock.
//
// Every fallible operation returns its value or exactly one IoError. Taking a
// poisoned lock panics (internal assertion failure). An allocation failure
// (std::bad_alloc) propagates with nothing changed and no lock poisoned.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "common/panic.h"
#include "common/raw_rw_lock.h"
#include "common/thread_annotations.h"
#include "error/io_error.h"
#include "fs/inode.h"
#include "fs/inode_table.h"
#include "fs/snapshot_image.h"

namespace ferrowick {

class FileHandle;
class RecordArena;
enum class FileHandleType : std::uint32_t;

// The names in one directory: first every non-directory, then every
// directory, each in creation order.
struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> directories;
};

// What stat() reports: the kind, the size (bytes of a file, number of
// children of a directory, 0 for a link), the identifier and the times
// (nanoseconds since the epoch; see INode).
struct EntryStat {
  KindTag kind;
  std::uint64_t size;
  InodeId ino;
  std::int64_t mtime_ns = 0;
  std::int64_t birthtime_ns = 0;
};

// The wall clock (CLOCK_REALTIME) in nanoseconds since the epoch.
std::int64_t clock_now_ns() noexcept;

// Identifies the children of a directory at one moment: the directory's id
// and the stamp of its last change. Equal keys mean equal listings.
struct ListingKey {
  InodeId id = 0;
  std::uint64_t stamp = 0;
  bool valid = false;
  bool operator==(const ListingKey&) const = default;
};

// A listing in one buffer: the names back to back (files first, then
// directories, each in creation order), where each ends, and how many of
// them are files.
struct FlatListing {
  std::string names;
  std::vector<std::size_t> ends;
  std::size_t file_count = 0;
};

// What a listing met that a sound file system never holds (internal).
struct BrokenChild {
  InodeId id = 0;
  const char* what = nullptr;
  IoError error{IoError::Kind::InodeNotFound};
};

class FileSystem {
 public:
  // A new file system holding only the root directory (id 0).
  static std::shared_ptr<FileSystem> create();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // --- Inode store (file_system.cc) ----------------------------------------
  // Creates `name` under `parent` with the given kind. Check order: invalid
  // name (no id spent), spend an id, resolve parent, duplicate name, depth,
  // parent kind.
  Expected<InodeId, IoError> create_inode(InodeId parent, std::string_view name, INodeKind kind);
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
  INodeRef lookup(InodeId id) const;
  std::uint64_t next_inode_id() const { return next_inode_id_.load(); }
  // Levels between `id` (links followed) and the root, by its parents.
  Expected<std::size_t, IoError> depth_of(InodeId id) const;
  std::size_t inode_count() const;

  // --- Path resolution (path.cc) --------------------------------------------
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

  // --- Queries by path that create nothing (queries.cc) ------------------
  // Whether `path` resolves (links followed); any resolution failure is "no".
  bool exists(std::string_view path) const;
  // The entry `path` names, the last component not followed: a symbolic link
  // is reported as itself. Fails as path resolution does.
  Expected<EntryStat, IoError> stat(std::string_view path) const;

  // --- Namespace operations (namespace_ops.cc) -------------------------------
  Expected<void, IoError> mkdir(std::string_view path);
  Expected<void, IoError> touch(std::string_view path);
  Expected<void, IoError> rm(std::string_view path, bool recursive);
  // Depth-first, two phases; the first failure ends it and what was removed
  // stays removed. Removing the root removes what is below it and keeps it.
  // A file with an open handle is refused with ResourceCurrentInUse. A
  // symbolic link is removed itself; its target is left alone.
  Expected<void, IoError> rm_raw(InodeId id, bool recursive);
  // Moves the entry `from` names (a link itself, not followed) to the path
  // `to`, in O(1): the record, its identifier, its open handles, its lock
  // word and everything below it stay as they are; it is listed last in
  // its new directory. An existing entry at `to` is replaced as rm would
  // remove it: a file only when no handle is open on it
  // (ResourceCurrentInUse), a directory only when empty
  // (DirectoryIsNotEmpty) and only by a directory (NotADirectory), a file
  // only by a non-directory (NotAFile). Refused: the root
  // (ResourceCurrentInUse), a directory into or below itself
  // (InvalidMove), an invalid final name of `to` (ResourceAlreadyExists),
  // a move deeper than kMaxDepth (MaxRecursionDepthExceeded). When both
  // paths name the same entry nothing changes. A failure changes nothing
  // (rename.cc).
  Expected<void, IoError> rename(std::string_view from, std::string_view to);
  // Panics (naming the IoError) if a listed child has no record or does not
  // resolve, which a sound file system never shows.
  Expected<Listing, IoError> ls_raw(InodeId id) const;
  // Resolves `path` like get_inode_by_path_raw and lists that directory into
  // `out`, in one hold of the namespace lock, unless its key is among
  // `known` (then `out` is left alone). Returns the directory's key. Fails
  // and panics like ls_raw.
  Expected<ListingKey, IoError> list_path(std::string_view path, std::span<const ListingKey> known,
                                          FlatListing& out) const;

  // --- Opening files (file_handle.cc; see file_handle.h) ---------------------
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

  // One-line diagnostic rendering (render.cc):
  // "FileSystem { inodes: {0: INode { ... }}, next_inode_id: 1 }".
  std::string render() const;

  static constexpr std::size_t kMaxLinkHops = 64;

 private:
  class SharedNs;
  class ExclusiveNs;
  friend class FileHandle;

  FileSystem();
  Expected<void, IoError> create_at(std::string_view path, INodeKind kind);
  // Building a whole new file system (workspace.cc), before anyone else can
  // reach it: puts a new record into the table (not yet listed anywhere).
  template <class Kind>
  INode* adopt_record(RecordArena& arena, InodeId id, InodeId parent, std::string_view name, Kind&& kind)
      REQUIRES(ns_);
  // create_inode, then then(new record) while the namespace lock is still
  // held; returns what `then` returns.
  template <class Then>
  auto create_inode_then(InodeId parent, std::string_view name, INodeKind kind, Then&& then)
      -> decltype(then(std::declval<INode&>()));
  // Opens the file just created for FileSystem::open.
  struct OpenCreated {
    std::shared_ptr<FileSystem> fs;
    FileHandleType type;
    Expected<FileHandle, IoError> operator()(INode& node);
  };
  // The record `id` designates after following links. Namespace lock held
  // (file_system.cc).
  Expected<INode*, IoError> resolve_locked(InodeId id) const REQUIRES_SHARED(ns_);
  // The path walk of get_inode_by_path_raw. Namespace lock held (path.cc).
  Expected<INode*, IoError> walk_locked(std::string_view path) const REQUIRES_SHARED(ns_);
  // The entry `path` names, its last component not followed (queries.cc).
  Expected<INode*, IoError> entry_locked(std::string_view path) const REQUIRES_SHARED(ns_);
  // Levels between `node` and the root; InvalidMove when `moving` is among
  // `node` and its ancestors (file_system.cc). Namespace lock held.
  Expected<std::size_t, IoError> depth_locked(const INode& node, const INode* moving = nullptr) const
      REQUIRES_SHARED(ns_);
  // Records that `dir` now has `height` levels below it, raising the bound
  // of its ancestors as far as needed. Namespace lock held exclusively.
  void raise_heights_locked(INode& dir, std::size_t height) noexcept REQUIRES(ns_);
  // Recomputes the height bounds of `node` and everything below it exactly.
  std::size_t exact_height_locked(INode& node) noexcept REQUIRES(ns_);
  // One name inside `inode` (find_inode_by_name_with_handle). Lock held.
  Expected<InodeId, IoError> find_locked(const INode& inode, std::string_view name) const REQUIRES_SHARED(ns_);
  // The removal steps (namespace_ops.cc).
  // Removes everything below `dir` depth-first; on failure what was removed
  // stays removed. Namespace lock held exclusively.
  Expected<void, IoError> remove_children_locked(INode& dir) REQUIRES(ns_);
  // Checks `node` and marks it as going: a free file becomes REMOVING, a
  // directory must be empty. Namespace lock held exclusively.
  Expected<void, IoError> check_removable_locked(INode& node) REQUIRES(ns_);
  // Takes `node` out of the table (its children list is not touched).
  void erase_locked(INode& node) noexcept REQUIRES(ns_);
  // Takes `node` out of its parent and out of the table. Lock held.
  Expected<void, IoError> detach_locked(INode& node) REQUIRES(ns_);
  // Calls visit(name, is_directory) for each child of `dir` in order; stops
  // at a listed child that is missing or unresolvable and reports it.
  template <class Visit>
  BrokenChild visit_children_locked(const INode& dir, Visit&& visit) const REQUIRES_SHARED(ns_);
  std::uint64_t next_stamp() noexcept REQUIRES(ns_) { return ++stamp_; }
  // A file system being built (workspace.cc) is reachable by no other
  // thread: for the analysis, its namespace lock is as good as held.
  void assert_unshared() const ASSERT_CAPABILITY(ns_) {}
  // Where the analysis cannot see the caller's hold of the namespace lock (a
  // lambda run for each child, a friend's static function): debug builds
  // check that it is held (by some thread), for writing in the second.
  void assert_ns_held() const ASSERT_SHARED_CAPABILITY(ns_) { FERROWICK_DEBUG_ASSERT(ns_.locked()); }
  void assert_ns_held_exclusively() const ASSERT_CAPABILITY(ns_) { FERROWICK_DEBUG_ASSERT(ns_.write_locked()); }

  mutable RawRwLock ns_;
  InodeTable table_ GUARDED_BY(ns_);
  std::atomic<std::uint64_t> next_inode_id_{1};
  std::uint64_t stamp_ GUARDED_BY(ns_) = 0;
};

// Splits at the last "/" or "\": ("/a/b" -> "/a", "b"; "a" -> "", "a").
struct PathSplit {
  std::string_view parent;
  std::string_view name;
};
PathSplit split_last_separator(std::string_view path);
// Whether `name` holds a "/" or "\".
bool holds_separator(std::string_view name);
// Empty, ".", ".." and names holding a separator can never be looked up as
// a single component, so creation (and a snapshot) refuses them.
bool is_valid_name(std::string_view name);

}  // namespace ferrowick
