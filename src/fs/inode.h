// The records of the inode store: INode and its kinds.
//
// An INode's id, parent, depth, name and kind never change after creation
// and are read without locking. A file's content is guarded by the inode's
// own reader/writer lock (`data`). A directory's children are guarded by the
// file system's namespace lock (file_system.h); writers of the children hold
// the directory's `data` lock for writing too, so either lock lets a reader
// see them whole.
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
#include "fs/child_slots.h"
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

// A directory: its children in creation order, each listed by a counted
// pointer to its record (so listing and look-up by name read the children's
// own names and kinds without a table look-up), plus, past kScannedChildren,
// an open-addressing index from name hash to slot. Removed children leave a
// tombstone (null) that is skipped; slots are compacted when tombstones
// outnumber live children. An empty directory owns no memory.
//
// Every change of the children gets a new stamp from the file system, so a
// listing can be cached under (id, stamp).
//
// Callers hold the namespace lock: for reading to look, for writing to
// change. Names are the children's own (links are not followed).
class Directory {
 public:
  // Up to this many children a look-up scans them; beyond, it hashes.
  static constexpr std::size_t kScannedChildren = 8;

  Directory() noexcept = default;
  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;
  ~Directory();

  bool empty() const noexcept { return !body_ || body_->live == 0; }
  std::size_t size() const noexcept { return body_ ? body_->live : 0; }
  std::uint64_t stamp() const noexcept { return body_ ? body_->stamp : 0; }
  template <class F>
  void for_each_child(F&& f) const {
    if (!body_) return;
    for (INode* child : body_->slots)
      if (child) f(child);
  }

  // The child listed under `name`, or null.
  INode* find(std::string_view name) const noexcept;
  // Starts loading what find(name) will read first; changes nothing.
  void prefetch(std::string_view name) const noexcept;
  // Allocates whatever the next append needs; throws std::bad_alloc and
  // changes nothing observable on failure.
  void reserve_one();
  // The same for the next `more` appends at once.
  void reserve(std::size_t more);
  // Lists `copies` in this empty directory and takes a reference to each:
  // they are copies of `from`'s children in `from`'s order (a clone), so
  // `from`'s name index serves as it is when `from` has no gaps. No other
  // thread may reach the copies yet. The listing goes into `arena`'s block
  // when it has room for it, else on the heap.
  void assign_copies(const Directory& from, std::span<INode* const> copies, std::uint64_t stamp,
                     RecordArena& arena);
  // Lists `child` last and takes a reference to it. reserve_one() first.
  void append(INode* child, std::uint64_t stamp) noexcept;
  // Unlists `child` and drops its reference; false when it was not listed.
  bool remove(const INode* child, std::uint64_t stamp) noexcept;
  // Unlists the first `count` children (all of them by default).
  void remove_first(std::size_t count, std::uint64_t stamp) noexcept;
  // For the invariant checks: slots in use, tombstones included.
  std::size_t slot_count() const noexcept { return body_ ? body_->slots.size() : 0; }

 private:
  // The index's table: a power-of-two array of zeroed words. Large tables
  // ask for transparent huge pages: look-ups hit them at random. Like the
  // slots, a table may live in memory lent to it (a clone's), never freed
  // here.
  class IndexTable {
   public:
    IndexTable() noexcept = default;
    // Zeroed, or a copy of `words`; throws std::bad_alloc.
    explicit IndexTable(std::size_t size, const std::uint64_t* words = nullptr);
    // Over `size` words of `storage`, which stays its lender's.
    static IndexTable lent(std::uint64_t* storage, std::size_t size) noexcept {
      IndexTable t;
      t.words_ = storage;
      t.size_ = size;
      t.lent_ = true;
      return t;
    }
    IndexTable(IndexTable&& o) noexcept
        : words_(std::exchange(o.words_, nullptr)), size_(std::exchange(o.size_, 0)), lent_(std::exchange(o.lent_, false)) {}
    IndexTable& operator=(IndexTable&& o) noexcept {
      std::swap(words_, o.words_);
      std::swap(size_, o.size_);
      std::swap(lent_, o.lent_);
      return *this;
    }
    ~IndexTable();
    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    std::uint64_t& operator[](std::size_t i) noexcept { return words_[i]; }
    std::uint64_t operator[](std::size_t i) const noexcept { return words_[i]; }
    const std::uint64_t* words() const noexcept { return words_; }

   private:
    std::uint64_t* words_ = nullptr;
    std::size_t size_ = 0;
    bool lent_ = false;
  };
  struct Body {
    ChildSlots slots;
    IndexTable index;  // (hash << 32) | (slot + 1); 0 free
    std::size_t live = 0;
    std::size_t index_used = 0;  // entries and tombstones
    std::uint64_t stamp = 0;
    // Non-zero when the body (with the slots and the index it was made
    // with) lies in a RecordArena block: the bytes it took there.
    std::size_t block_bytes = 0;
  };
  struct BodyDeleter {
    void operator()(Body* body) const noexcept;
  };
  // Refills the index (already sized) from the slots.
  void rebuild_index() noexcept;
  void index_insert(std::uint32_t hash, std::uint32_t slot) noexcept;
  void compact() noexcept;
  std::unique_ptr<Body, BodyDeleter> body_;
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
  std::uint8_t depth;
  KindTag kind_tag;
  // False once the record has left the table; open handles check it.
  std::atomic<bool> in_table{false};
  // A directory taken out of the tree (namespace lock); creation under it
  // fails as if it were already gone.
  bool detached = false;
  RwLock<INodeKind> data;

  INode(InodeId id_, InodeId parent_, std::size_t depth_, std::string_view name_, INodeKind kind)
      : id(id_),
        parent(parent_),
        name(name_),
        depth(static_cast<std::uint8_t>(depth_)),
        kind_tag(static_cast<KindTag>(kind.index())),
        data(std::in_place, std::move(kind)) {}
  // The same with the kind built in place (File, Directory or Symlink).
  template <class Kind>
    requires(!std::is_same_v<std::remove_cvref_t<Kind>, INodeKind>)
  INode(InodeId id_, InodeId parent_, std::size_t depth_, std::string_view name_, Kind&& kind)
      : id(id_),
        parent(parent_),
        name(name_),
        depth(static_cast<std::uint8_t>(depth_)),
        kind_tag(kind_tag_of<std::remove_cvref_t<Kind>>()),
        data(std::in_place, std::in_place_type<std::remove_cvref_t<Kind>>, std::forward<Kind>(kind)) {}
  INode(const INode&) = delete;
  INode& operator=(const INode&) = delete;

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
