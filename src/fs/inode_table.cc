#include "fs/inode_table.h"

#include <algorithm>
#include <limits>
#include <new>

namespace ferrowick {

InodeTable::~InodeTable() {
  for (auto& page : pages_) {
    if (!page) continue;
    for (INode*& node : page->slots) {
      if (!node) continue;
      node->in_table.store(false, std::memory_order_relaxed);
      std::exchange(node, nullptr)->release();
    }
  }
}

void InodeTable::reserve(InodeId id) {
  const InodeId page_index = id >> kPageBits;
  if (page_index >= std::numeric_limits<std::size_t>::max() / sizeof(void*)) throw std::bad_alloc();
  const auto page = static_cast<std::size_t>(page_index);
  if (page >= pages_.size()) {
    // Geometric growth: ids only rise, so this is amortised O(1).
    if (page >= pages_.capacity()) pages_.reserve(std::max(page + 1, pages_.capacity() * 2));
    // The last page may have emptied while new ids still landed in it (erase
    // keeps it then); ids have moved past it now, so it goes. Otherwise
    // create-and-remove churn would keep one empty page per kPageSize ids.
    if (!pages_.empty() && pages_.back() && pages_.back()->count == 0) pages_.back().reset();
    pages_.resize(page + 1);
  }
  if (!pages_[page]) pages_[page] = std::make_unique<Page>();
}

INode* InodeTable::insert(INode* node) noexcept {
  Page& page = *pages_[static_cast<std::size_t>(node->id >> kPageBits)];
  INode*& slot = page.slots[node->id & kPageMask];
  INode* replaced = std::exchange(slot, node);
  node->in_table.store(true, std::memory_order_relaxed);
  if (replaced) {
    replaced->in_table.store(false, std::memory_order_relaxed);
  } else {
    ++page.count;
    ++size_;
  }
  return replaced;
}

INode* InodeTable::erase(InodeId id) noexcept {
  const auto index = static_cast<std::size_t>(id >> kPageBits);
  if (index >= pages_.size() || !pages_[index]) return nullptr;
  Page& page = *pages_[index];
  INode* node = std::exchange(page.slots[id & kPageMask], nullptr);
  if (!node) return nullptr;
  node->in_table.store(false, std::memory_order_relaxed);
  --size_;
  // An emptied page goes, unless new identifiers still land in it.
  if (--page.count == 0 && index + 1 < pages_.size()) pages_[index].reset();
  return node;
}

}  // namespace ferrowick
