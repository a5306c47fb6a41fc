#include "fs/record_arena.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "common/raw_rw_lock.h"

namespace ferrowick {

namespace {

struct BlockHeader {
  // Records not yet freed. While an arena fills the block it also holds
  // kFilling, so the frees of its first records never bring it to zero.
  std::atomic<std::uint32_t> live;
  BlockHeader* next;  // in the cache
};
static_assert(sizeof(BlockHeader) <= 64);
constexpr std::uint32_t kFilling = std::uint32_t{1} << 30;

// Empty blocks, newest first: the most recently used memory is the likeliest
// still cached. One lock per block, not per record.
struct BlockCache {
  RawRwLock lock;
  BlockHeader* head = nullptr;
  std::size_t count = 0;
};
// Never destroyed (records may outlive static destructors): nothing to run.
static_assert(std::is_trivially_destructible_v<BlockCache>);
BlockCache& the_cache() noexcept {
  static BlockCache c;
  return c;
}

void* map_block() {
  constexpr std::size_t kSize = RecordArena::kBlockBytes;
  // Twice the size, then the unaligned ends go back.
  void* p = ::mmap(nullptr, 2 * kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kSize - 1) & ~(std::uintptr_t{kSize} - 1);
  if (aligned > start) ::munmap(p, aligned - start);
  if (const std::uintptr_t tail = start + 2 * kSize - (aligned + kSize))
    ::munmap(reinterpret_cast<void*>(aligned + kSize), tail);
  return reinterpret_cast<void*>(aligned);
}

void give_back(BlockHeader* block) noexcept {
  BlockCache& c = the_cache();
  c.lock.lock();
  const bool keep = c.count < RecordArena::kCachedBlocks;
  if (keep) {
    block->next = c.head;
    c.head = block;
    ++c.count;
  }
  c.lock.unlock();
  if (!keep) ::munmap(block, RecordArena::kBlockBytes);
}

}  // namespace

void free_block_record(const INode* node) noexcept {
  auto* block = reinterpret_cast<BlockHeader*>(reinterpret_cast<std::uintptr_t>(node) &
                                               ~(std::uintptr_t{RecordArena::kBlockBytes} - 1));
  node->~INode();
  if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) give_back(block);
}

std::size_t RecordArena::cached_blocks() noexcept {
  BlockCache& c = the_cache();
  c.lock.lock_shared();
  const std::size_t n = c.count;
  c.lock.unlock_shared();
  return n;
}

void RecordArena::next_block() {
  BlockCache& c = the_cache();
  c.lock.lock();
  BlockHeader* block = c.head;
  if (block) {
    c.head = block->next;
    --c.count;
  }
  c.lock.unlock();
  void* memory = block ? static_cast<void*>(block) : map_block();  // may throw: nothing changed yet
  leave_block();
  block = new (memory) BlockHeader;
  block->live.store(kFilling, std::memory_order_relaxed);
  block_ = memory;
  made_ = 0;
  --blocks_left_;
}

void RecordArena::leave_block() noexcept {
  if (!block_) return;
  auto* block = static_cast<BlockHeader*>(block_);
  const auto filling_share = kFilling - static_cast<std::uint32_t>(made_);
  if (block->live.fetch_sub(filling_share, std::memory_order_acq_rel) == filling_share) give_back(block);
  block_ = nullptr;
}

}  // namespace ferrowick
