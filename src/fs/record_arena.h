// RecordArena: the records of a whole new file system (a clone, a restored
// snapshot) and the listings of a clone's directories, placed side by side
// in blocks instead of one heap allocation each.
//
// Making n records then costs n pointer bumps rather than n calls to malloc,
// and they lie in the order they were made, which is the order the next
// clone or snapshot of the copy reads them. Each piece is still freed on its
// own (INode::release, a directory dropping its listing): it is destroyed in
// place, and its block goes back once its last piece has gone. Empty blocks
// wait in a process-wide cache of at most kCachedBlocks for the next copy:
// copies made and dropped one after another (a fixture cloned for every
// test) reuse memory the process already has, instead of faulting in fresh
// pages, which costs a virtual machine about 2 us per 4 KiB. Blocks come
// straight from the kernel, so the C library never sees them.
//
// The arena is told how many records are coming. A copy of less than a
// block's worth keeps everything on the heap, as a small copy always did; a
// larger one fills blocks, the last one partly, so what is left unused is
// less than what the copy uses.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "common/panic.h"
#include "fs/inode.h"

namespace ferrowick {

class RecordArena {
 public:
  // Bytes per block, aligned to their size so a piece finds its block.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
  // Empty blocks kept for reuse (128 MiB).
  static constexpr std::size_t kCachedBlocks = 2048;
  // Larger pieces go on the heap, so that none leaves much of a block unused.
  static constexpr std::size_t kLargestPiece = kBlockBytes / 8;
  // Pieces follow each other from the header on, so each starts at a
  // multiple of kPieceAlign from the block's (size-aligned) start: a piece
  // may hold nothing aligned more strictly, and its size is a multiple.
  static constexpr std::size_t kPieceAlign = 8;

  // For a copy of `records` records.
  explicit RecordArena(std::size_t records) noexcept : on_(records >= per_block()) {}
  RecordArena(const RecordArena&) = delete;
  RecordArena& operator=(const RecordArena&) = delete;
  // Hands the block being filled over to its pieces.
  ~RecordArena() { leave_block(); }

  // A new record, as `new INode(args...)` would make it; throws
  // std::bad_alloc.
  template <class... A>
  INode* make(A&&... args) {
    void* memory = allocate(sizeof(INode));
    if (!memory) return new INode(std::forward<A>(args)...);
    try {
      INode* node = new (memory) INode(std::forward<A>(args)...);
      node->mark_in_block();
      return node;
    } catch (...) {
      take_back(sizeof(INode));
      throw;
    }
  }
  // `bytes` (a multiple of 8) in the block being filled, to be given back
  // with free_block_memory; null when this arena keeps to the heap or the
  // piece is larger than kLargestPiece. Throws std::bad_alloc.
  void* allocate(std::size_t bytes) {
    FERROWICK_DEBUG_ASSERT(bytes % kPieceAlign == 0);
    if (!on_ || bytes > kLargestPiece) return nullptr;
    if (used_ + bytes > kBlockBytes) next_block();
    void* memory = static_cast<char*>(block_) + used_;
    used_ += bytes;
    ++pieces_;
    return memory;
  }

  // Records a block holds at most.
  static constexpr std::size_t per_block() noexcept { return (kBlockBytes - kHeader) / sizeof(INode); }
  // Empty blocks in the cache now (for tests).
  static std::size_t cached_blocks() noexcept;

 private:
  static constexpr std::size_t kHeader = 64;  // the block's count, its own cache line
  // free_block_memory finds a piece's block by masking its address.
  static_assert(std::has_single_bit(kBlockBytes) && kBlockBytes % 4096 == 0);
  static_assert(kHeader % kPieceAlign == 0 && sizeof(INode) % kPieceAlign == 0);
  static_assert(alignof(INode) <= kPieceAlign);
  static_assert(kHeader + kLargestPiece <= kBlockBytes);
  // Undoes the last allocate(bytes).
  void take_back(std::size_t bytes) noexcept {
    used_ -= bytes;
    --pieces_;
  }
  void next_block();
  void leave_block() noexcept;

  void* block_ = nullptr;
  std::size_t used_ = kBlockBytes;  // bytes of block_ in use, its header included
  std::size_t pieces_ = 0;          // allocated in block_
  bool on_;
};

// Gives back `bytes` at `piece` (from RecordArena::allocate), whose contents
// have been destroyed already.
void free_block_memory(const void* piece, std::size_t bytes) noexcept;

}  // namespace ferrowick
