// The records of the inode store: INode and its kinds.
//
// An INode's id, parent, depth and name never change after creation and are
// read without locking; only `data` (the kind and its content) is guarded by
// the inode's own reader/writer lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "common/poison_lock.h"
#include "common/small_vector.h"

namespace ferrowick {

using InodeId = std::uint64_t;
inline constexpr InodeId kRootId = 0;
inline constexpr std::size_t kMaxDepth = 64;

class InodeTable;

// The lock word of a file: 0 free, n > 0 readers, -1 one writer, -2 removing.
// It changes by atomic operations while the file's `data` lock is held only
// for reading (handles of one file open and close concurrently), hence
// mutable. The protocol lives in file_lock.h.
struct FileLock {
  static constexpr std::int32_t WRITE_EXCLUSIVE = -1;
  static constexpr std::int32_t REMOVING = -2;
  mutable std::atomic<std::int32_t> flag{0};

  FileLock() = default;
  FileLock(FileLock&& o) noexcept : flag(o.flag.load()) {}
  FileLock& operator=(FileLock&& o) noexcept {
    flag.store(o.flag.load());
    return *this;
  }
};

// A file's content; up to 32 bytes live inside the record.
struct FileData {
  SmallVector<std::uint8_t, 32> data;
};

struct File {
  FileData data;
  FileLock lock;
};

// Hash for the name index; transparent so that look-ups by string_view do
// not build a std::string.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// A directory: its children in creation order (8 inline), plus, once it grows
// past the inline capacity, an index from child name to slot so that look-up,
// creation and removal stay O(1) on average. Removed children leave a
// tombstone (id kRootId, which is never a child) that listings skip; the
// slots are compacted when tombstones outnumber live children.
//
// Names are the children's own names (links are not followed). All members
// are guarded by the owning INode's `data` lock; `find` needs it for reading,
// `append` and `remove` for writing. The table is consulted only for the
// names of children of small (unindexed) directories, and only briefly.
struct Directory {
  static constexpr std::size_t kInlineChildren = 8;
  using NameIndex = std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>>;

  SmallVector<InodeId, kInlineChildren> slots;
  std::size_t live = 0;
  std::unique_ptr<NameIndex> index;
  // Set, under the write lock, when the directory is taken out of the tree;
  // creation under a detached directory fails as if it were already gone.
  bool detached = false;

  Directory() = default;
  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;

  bool empty() const { return live == 0; }
  template <class F>
  void for_each_child(F&& f) const {
    for (InodeId id : slots)
      if (id != kRootId) f(id);
  }

  // The child listed under `name`, or kRootId when there is none. The first
  // match in creation order wins; children missing from `table` are skipped.
  InodeId find(std::string_view name, const InodeTable& table) const;
  // Lists `child` (named `name`) last. The caller has checked that the name
  // is free. Builds the index when the slots outgrow the inline capacity.
  void append(InodeId child, std::string_view name, const InodeTable& table);
  // Unlists `child` (named `name`); false when it was not listed. Other
  // children keep their order.
  bool remove(InodeId child, std::string_view name);

 private:
  void build_index(const InodeTable& table);
  void compact();
};

struct Symlink {
  InodeId target;
};

using INodeKind = std::variant<File, Directory, Symlink>;

// Which alternative of INodeKind a record holds, in the variant's order.
enum class KindTag : std::uint8_t { File = 0, Directory = 1, Symlink = 2 };

struct INode {
  InodeId id;
  InodeId parent;
  std::size_t depth;
  std::string name;  // short names (<= 15 bytes) stay inside the string object
  // A record's kind never changes, so it is readable without the data lock;
  // resolution and classification use it to avoid locking every record.
  KindTag kind_tag;
  RwLock<INodeKind> data;

  INode(InodeId id_, InodeId parent_, std::size_t depth_, std::string name_, INodeKind kind)
      : id(id_),
        parent(parent_),
        depth(depth_),
        name(std::move(name_)),
        kind_tag(static_cast<KindTag>(kind.index())),
        data(std::in_place, std::move(kind)) {}
};

// A table guard: keeps one record alive and readable. Holding it never holds
// a lock of the table, so the holder may insert and remove other entries.
using INodeRef = std::shared_ptr<INode>;

}  // namespace ferrowick
