// InodeTable: the map from InodeId to INode record.
//
// Identifiers are handed out by a counter and never reused, so the table is
// an array indexed by identifier, kept in pages of kPageSize slots: a look-up
// is two loads, iteration is in identifier order, and a page whose records
// are all gone is freed. The table holds one reference to every record.
//
// Not synchronised: the file system's namespace lock guards it (shared for
// find and iteration, exclusive for the rest).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "fs/inode.h"

namespace ferrowick {

class InodeTable {
 public:
  InodeTable() = default;
  InodeTable(const InodeTable&) = delete;
  InodeTable& operator=(const InodeTable&) = delete;
  ~InodeTable();

  INode* find(InodeId id) const noexcept {
    const std::size_t page = static_cast<std::size_t>(id >> kPageBits);
    if (page >= pages_.size() || !pages_[page]) return nullptr;
    return pages_[page]->slots[id & kPageMask];
  }
  // Allocates the slot for `id`; throws std::bad_alloc, changing nothing.
  void reserve(InodeId id);
  // Stores `node` (taking over one reference) in its reserved slot. Returns
  // the record it replaced, whose reference passes to the caller.
  INode* insert(INode* node) noexcept;
  // Takes the record out; its reference passes to the caller (null if absent).
  INode* erase(InodeId id) noexcept;
  std::size_t size() const noexcept { return size_; }
  // Pages currently allocated (for tests of the freeing rule).
  std::size_t pages_in_use() const noexcept {
    std::size_t n = 0;
    for (const auto& page : pages_) n += page != nullptr;
    return n;
  }
  // Visits every record in id order.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& page : pages_) {
      if (!page) continue;
      for (INode* node : page->slots)
        if (node) f(*node);
    }
  }

 private:
  static constexpr unsigned kPageBits = 10;
  static constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
  static constexpr InodeId kPageMask = kPageSize - 1;
  struct Page {
    INode* slots[kPageSize] = {};
    std::size_t count = 0;
  };
  std::vector<std::unique_ptr<Page>> pages_;
  std::size_t size_ = 0;
};

}  // namespace ferrowick
