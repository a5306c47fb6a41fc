// ChildSlots: a directory's children in creation order, a growable array of
// record pointers (null for a removed child).
//
// The array lives on the heap, or in memory lent by its owner (a clone puts
// a directory's slots beside its records, in a RecordArena block). Lent
// memory is never freed here: the first growth moves the slots to the heap.
// Growing is the only operation that allocates; everything else is
// noexcept, and push_back needs room reserved first.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "common/panic.h"

namespace ferrowick {

struct INode;

class ChildSlots {
 public:
  ChildSlots() noexcept = default;
  ChildSlots(const ChildSlots&) = delete;
  ChildSlots& operator=(const ChildSlots&) = delete;
  ~ChildSlots() { reset(); }

  // Takes `size` pointers already in `storage`, which holds no more; the
  // storage stays its lender's.
  void borrow(INode** storage, std::size_t size) noexcept {
    reset();
    data_ = storage;
    size_ = cap_ = size;
    lent_ = true;
  }
  // Copies `from` into a heap array of exactly that size; throws
  // std::bad_alloc, changing nothing.
  void assign(std::span<INode* const> from) {
    reserve(from.size());
    if (!from.empty()) std::memcpy(data_, from.data(), from.size() * sizeof(INode*));
    size_ = from.size();
  }
  // Room for `n` pointers in all; throws std::bad_alloc, changing nothing.
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    if (n > SIZE_MAX / sizeof(INode*)) throw std::bad_alloc();
    auto* grown = static_cast<INode**>(std::malloc(n * sizeof(INode*)));
    if (!grown) throw std::bad_alloc();
    if (size_) std::memcpy(grown, data_, size_ * sizeof(INode*));
    const std::size_t size = size_;
    reset();
    data_ = grown;
    size_ = size;
    cap_ = n;
  }
  // Empties the array and gives back its memory.
  void reset() noexcept {
    if (!lent_) std::free(data_);
    data_ = nullptr;
    size_ = cap_ = 0;
    lent_ = false;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  INode*& operator[](std::size_t i) noexcept { return data_[i]; }
  INode* operator[](std::size_t i) const noexcept { return data_[i]; }
  INode* back() const noexcept { return data_[size_ - 1]; }
  INode** begin() noexcept { return data_; }
  INode** end() noexcept { return data_ + size_; }
  INode* const* begin() const noexcept { return data_; }
  INode* const* end() const noexcept { return data_ + size_; }

  void push_back(INode* child) noexcept {
    FERROWICK_ASSERT(size_ < cap_);
    data_[size_++] = child;
  }
  void pop_back() noexcept { --size_; }
  // Keeps the first `n` (n <= size()).
  void shrink(std::size_t n) noexcept { size_ = n; }

 private:
  INode** data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  bool lent_ = false;
};

}  // namespace ferrowick
