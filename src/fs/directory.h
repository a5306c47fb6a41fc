// Directory: the children of one directory inode, with a name index.
//
// The kind INodeKind holds for a directory (inode.h); its code is in
// directory.cc.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "fs/child_slots.h"

namespace ferrowick {

struct INode;
class RecordArena;

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
  // Without `give_back_memory` an emptied directory keeps its memory, so
  // an append reserved beforehand still has its room.
  bool remove(const INode* child, std::uint64_t stamp, bool give_back_memory = true) noexcept;
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

}  // namespace ferrowick
