#include "fs/record_arena.h"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "common/raw_rw_lock.h"
#include "common/thread_annotations.h"

// Under AddressSanitizer a freed record's memory is poisoned as a freed heap
// block would be, and a block in use is a root for the leak checker, which
// does not look into memory mapped by hand.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FERROWICK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FERROWICK_ASAN 1
#endif
#ifdef FERROWICK_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace ferrowick {

namespace {

#ifdef FERROWICK_ASAN
void poison(const void* p, std::size_t n) noexcept { ASAN_POISON_MEMORY_REGION(p, n); }
void unpoison(const void* p, std::size_t n) noexcept { ASAN_UNPOISON_MEMORY_REGION(p, n); }
void watch_block(const void* p) noexcept { __lsan_register_root_region(p, RecordArena::kBlockBytes); }
void unwatch_block(const void* p) noexcept { __lsan_unregister_root_region(p, RecordArena::kBlockBytes); }
#else
void poison(const void*, std::size_t) noexcept {}
void unpoison(const void*, std::size_t) noexcept {}
void watch_block(const void*) noexcept {}
void unwatch_block(const void*) noexcept {}
#endif

struct BlockHeader {
  // Pieces not yet freed. While an arena fills the block it also holds
  // kFilling, so the frees of its first pieces never bring it to zero.
  std::atomic<std::uint32_t> live;
  BlockHeader* next;  // in the cache
};
static_assert(sizeof(BlockHeader) <= 64);
constexpr std::uint32_t kFilling = std::uint32_t{1} << 30;

// Empty blocks, newest first: the most recently used memory is the likeliest
// still cached. One lock per block, not per record.
struct BlockCache {
  RawRwLock lock;
  BlockHeader* head GUARDED_BY(lock) = nullptr;
  std::size_t count GUARDED_BY(lock) = 0;
};
// Never destroyed (records may outlive static destructors): nothing to run.
static_assert(std::is_trivially_destructible_v<BlockCache>);
constinit BlockCache cache;

// A child forked while another thread held the cache's lock would find it
// held forever: fork waits until the lock is free, and both sides let go.
void lock_for_fork() noexcept ACQUIRE(cache.lock) { cache.lock.lock(); }
void unlock_after_fork() noexcept RELEASE(cache.lock) { cache.lock.unlock(); }

BlockCache& the_cache() noexcept {
  static const bool registered = ::pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork) == 0;
  (void)registered;
  return cache;
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
  unwatch_block(block);
  BlockCache& c = the_cache();
  c.lock.lock();
  const bool keep = c.count < RecordArena::kCachedBlocks;
  if (keep) {
    block->next = c.head;
    c.head = block;
    ++c.count;
  }
  c.lock.unlock();
  if (keep) return;
  unpoison(block, RecordArena::kBlockBytes);  // the range may be mapped again for anything
  ::munmap(block, RecordArena::kBlockBytes);
}

}  // namespace

void free_block_memory(const void* piece, std::size_t bytes) noexcept {
  auto* block = reinterpret_cast<BlockHeader*>(reinterpret_cast<std::uintptr_t>(piece) &
                                               ~(std::uintptr_t{RecordArena::kBlockBytes} - 1));
  poison(piece, bytes);
  if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) give_back(block);
}

void free_block_record(const INode* node) noexcept {
  node->~INode();
  free_block_memory(node, sizeof(INode));
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
  unpoison(memory, kBlockBytes);
  watch_block(memory);
  block = new (memory) BlockHeader;
  block->live.store(kFilling, std::memory_order_relaxed);
  block_ = memory;
  used_ = kHeader;
  pieces_ = 0;
}

void RecordArena::leave_block() noexcept {
  if (!block_) return;
  auto* block = static_cast<BlockHeader*>(block_);
  const auto filling_share = kFilling - static_cast<std::uint32_t>(pieces_);
  if (block->live.fetch_sub(filling_share, std::memory_order_acq_rel) == filling_share) give_back(block);
  block_ = nullptr;
}

}  // namespace ferrowick
