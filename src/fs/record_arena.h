// RecordArena: the records of a whole new file system (a clone, a restored
// snapshot) placed side by side in blocks, instead of one heap allocation
// each.
//
// Making n records then costs n pointer bumps rather than n calls to malloc,
// and they lie in the order they were made, which is the order the next
// clone or snapshot of the copy reads them. Each record is still freed on its
// own (INode::release): it is destroyed in place, and its block goes back
// once its last record has gone. Empty blocks wait in a process-wide cache
// of at most kCachedBlocks for the next copy: copies made and dropped one
// after another (a fixture cloned for every test) reuse memory the process
// already has, instead of faulting in fresh pages, which costs a virtual
// machine about 2 us per 4 KiB. Blocks come straight from the kernel, so
// the C library never sees them.
//
// The arena is told how many records are coming. A copy of less than a
// block's worth keeps its records on the heap, as a small copy always did;
// a larger one puts all of them in blocks, the last one partly used, so
// what is left unused is less than what the copy uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "fs/inode.h"

namespace ferrowick {

class RecordArena {
 public:
  // Bytes per block, aligned to their size so a record finds its block.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
  // Empty blocks kept for reuse (128 MiB).
  static constexpr std::size_t kCachedBlocks = 2048;

  // For `expected` records; more are made on the heap.
  explicit RecordArena(std::size_t expected) noexcept
      : blocks_left_(expected < per_block() ? 0 : (expected + per_block() - 1) / per_block()) {}
  RecordArena(const RecordArena&) = delete;
  RecordArena& operator=(const RecordArena&) = delete;
  // Hands the block being filled over to its records.
  ~RecordArena() { leave_block(); }

  // A new record, as `new INode(args...)` would make it; throws
  // std::bad_alloc.
  template <class... A>
  INode* make(A&&... args) {
    if (made_ == per_block()) {
      if (blocks_left_ == 0) return new INode(std::forward<A>(args)...);
      next_block();
    }
    INode* node = new (slot(made_)) INode(std::forward<A>(args)...);
    node->mark_in_block();
    ++made_;
    return node;
  }

  static constexpr std::size_t per_block() noexcept { return (kBlockBytes - kHeader) / sizeof(INode); }
  // Empty blocks in the cache now (for tests).
  static std::size_t cached_blocks() noexcept;

 private:
  static constexpr std::size_t kHeader = 64;  // the block's count, its own cache line
  void* slot(std::size_t i) const noexcept {
    return reinterpret_cast<char*>(block_) + kHeader + i * sizeof(INode);
  }
  void next_block();
  void leave_block() noexcept;

  void* block_ = nullptr;
  std::size_t made_ = per_block();  // records made in block_
  std::size_t blocks_left_;
};

}  // namespace ferrowick
