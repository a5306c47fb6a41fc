// The records of the inode store: INode and its kinds.
//
// An INode's id and kind never change after creation and are read without
// locking. Its parent and name change only when it is renamed, its height
// only as entries come below it, all under the file system's namespace lock
// held exclusively, so holding that lock in any way lets them be read. A
// file's content and modification time are guarded by the inode's own
// reader/writer lock (`data`). A directory's children and times are guarded
// by the namespace lock (file_system.h); writers of the children hold the
// directory's `data` lock for writing too, so either lock lets a reader see
// them whole.
//
// Records are reference-counted in place: the table holds one reference,
// the directory that lists a record another, and an INodeRef (a guard) one
// more while it lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>

#include "common/poison_lock.h"
#include "common/byte_buffer.h"
#include "fs/directory.h"
#include "fs/name.h"

namespace ferrowick {

using InodeId = std::uint64_t;
inline constexpr InodeId kRootId = 0;
inline constexpr std::size_t kMaxDepth = 64;

struct INode;
class RecordArena;

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

// A file's content: no memory at all while the file is empty.
struct FileData {
  ByteBuffer data;
};

struct File {
  FileData data;
  FileLock lock;
};

struct Symlink {
  InodeId target;
};

using INodeKind = std::variant<File, Directory, Symlink>;

// Which alternative of INodeKind a record holds, in the variant's order.
enum class KindTag : std::uint8_t { File = 0, Directory = 1, Symlink = 2 };
template <class Kind>
constexpr KindTag kind_tag_of() noexcept {
  if constexpr (std::is_same_v<Kind, File>) return KindTag::File;
  if constexpr (std::is_same_v<Kind, Directory>) return KindTag::Directory;
  if constexpr (std::is_same_v<Kind, Symlink>) return KindTag::Symlink;
}

// Destroys a record made by a RecordArena and gives its block back once
// the block's last record has gone (record_arena.cc).
void free_block_record(const INode* node) noexcept;

struct INode {
  InodeId id;
  InodeId parent;
  Name name;  // names of up to 15 bytes stay inside the record
  // The count of references, plus kInBlock when a RecordArena made it.
  mutable std::atomic<std::uint32_t> refs{1};
  static constexpr std::uint32_t kInBlock = std::uint32_t{1} << 31;
  // An upper bound on how many levels lie below this record (0 for a file
  // or an empty directory): renaming a directory checks the depth limit
  // against it without walking what it moves. Removal leaves it as it was;
  // a rename it refuses first recomputes it exactly.
  std::uint8_t height = 0;
  KindTag kind_tag;
  // False once the record has left the table; open handles check it.
  std::atomic<bool> in_table{false};
  // A directory taken out of the tree (namespace lock); creation under it
  // fails as if it were already gone.
  bool detached = false;
  // Nanoseconds since the epoch (CLOCK_REALTIME). mtime_ns: a file's last
  // write or truncation, a directory's last entry added, removed or renamed;
  // it always moves forwards. birthtime_ns: the creation.
  std::int64_t mtime_ns = 0;
  std::int64_t birthtime_ns = 0;
  RwLock<INodeKind> data;

  INode(InodeId id_, InodeId parent_, std::string_view name_, INodeKind kind)
      : id(id_),
        parent(parent_),
        name(name_),
        kind_tag(static_cast<KindTag>(kind.index())),
        data(std::in_place, std::move(kind)) {}
  // The same with the kind built in place (File, Directory or Symlink).
  template <class Kind>
    requires(!std::is_same_v<std::remove_cvref_t<Kind>, INodeKind>)
  INode(InodeId id_, InodeId parent_, std::string_view name_, Kind&& kind)
      : id(id_),
        parent(parent_),
        name(name_),
        kind_tag(kind_tag_of<std::remove_cvref_t<Kind>>()),
        data(std::in_place, std::in_place_type<std::remove_cvref_t<Kind>>, std::forward<Kind>(kind)) {}
  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

  // A change of the content or of the entries at `now`: mtime_ns moves
  // forwards even when the clock does not, so that every change shows.
  void touch_mtime(std::int64_t now) noexcept { mtime_ns = now > mtime_ns ? now : mtime_ns + 1; }

  void retain() const noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  void release() const noexcept {
    const std::uint32_t before = refs.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & ~kInBlock) != 1) return;
    if (before & kInBlock) {
      free_block_record(this);
    } else {
      delete this;
    }
  }
  // For a record no other thread can reach yet: retain() without an atomic
  // read-modify-write.
  void retain_unshared() noexcept {
    refs.store(refs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  // For RecordArena, before anyone else can see the record: it lives in a
  // block, not in a heap allocation of its own.
  void mark_in_block() noexcept {
    refs.store(refs.load(std::memory_order_relaxed) | kInBlock, std::memory_order_relaxed);
  }
  // Only for code that holds the namespace lock: a directory's children.
  const Directory& directory() const noexcept { return std::get<Directory>(data.peek()); }
  Directory& directory() noexcept { return std::get<Directory>(data.unsafe_get()); }
};

// A table guard: keeps one record alive and readable. Holding it never holds
// a lock, so the holder may insert and remove other entries.
class INodeRef {
 public:
  INodeRef() noexcept = default;
  INodeRef(std::nullptr_t) noexcept {}
  // A new reference to `node` (which may be null).
  static INodeRef retain(INode* node) noexcept {
    if (node) node->retain();
    return INodeRef(node);
  }
  INodeRef(const INodeRef& o) noexcept : p_(o.p_) {
    if (p_) p_->retain();
  }
  INodeRef(INodeRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  INodeRef& operator=(INodeRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~INodeRef() {
    if (p_) p_->release();
  }
  INode* get() const noexcept { return p_; }
  INode* operator->() const noexcept { return p_; }
  INode& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const INodeRef& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  explicit INodeRef(INode* p) noexcept : p_(p) {}
  INode* p_ = nullptr;
};

}  // namespace ferrowick
