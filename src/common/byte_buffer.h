// ByteBuffer: a growable byte sequence in eight bytes (a file's content). An
// empty buffer owns no memory, a non-empty one a single heap block holding
// length, capacity, a share count and the bytes. Blocks grow by realloc so
// large files extend in place.
//
// Blocks are shared copy-on-write: share() hands out another owner of the
// same block in O(1) (a clone of a file system shares every file this way),
// and the first change through any owner of a shared block copies it, so
// each owner sees only its own writes. Owners may live in different file
// systems and change their content under different locks: the share count
// is atomic, and an owner that finds itself the only one writes in place.
// Every non-const access counts as a change (data() included).
//
// Every operation that may allocate does so before it changes anything: an
// allocation failure (std::bad_alloc) leaves the content as it was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "common/panic.h"

namespace ferrowick {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(ByteBuffer&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
  ByteBuffer(const ByteBuffer& o) {
    if (o.size()) append(o.data(), o.size());
  }
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      drop();
      block_ = std::exchange(o.block_, nullptr);
    }
    return *this;
  }
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { drop(); }

  // Another owner of the same bytes, without copying them.
  ByteBuffer share() const noexcept {
    if (block_) shares(block_).fetch_add(1, std::memory_order_relaxed);
    return ByteBuffer(block_);
  }
  // share() for an owner that no other thread may share from or drop
  // meanwhile: while it is the block's only owner nobody else can touch the
  // count, so the count goes up without an atomic read-modify-write.
  ByteBuffer share_unraced() const noexcept {
    if (block_) {
      auto count = shares(block_);
      if (count.load(std::memory_order_acquire) == 1) {
#ifdef NDEBUG
        count.store(2, std::memory_order_relaxed);
#else
        // Debug builds check the precondition: nobody moved the count in
        // between (a racing share() or drop would have).
        std::size_t one = 1;
        const bool unraced = count.compare_exchange_strong(one, 2, std::memory_order_relaxed);
        FERROWICK_DEBUG_ASSERT(unraced);
#endif
      } else {
        count.fetch_add(1, std::memory_order_relaxed);
      }
    }
    return ByteBuffer(block_);
  }
  // Starts fetching the block's header into the cache (before share()).
  void prefetch() const noexcept {
    if (block_) __builtin_prefetch(block_, 1);
  }
  // True when another owner holds the same block (for tests and accounting).
  bool shared() const noexcept { return block_ && shares(block_).load(std::memory_order_acquire) > 1; }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  std::size_t capacity() const noexcept { return block_ ? block_->cap : 0; }
  bool empty() const noexcept { return size() == 0; }
  // Writable bytes: copies a shared block first (may throw std::bad_alloc).
  std::uint8_t* data() {
    make_unique();
    return block_ ? bytes(block_) : nullptr;
  }
  const std::uint8_t* data() const noexcept { return block_ ? bytes(block_) : nullptr; }
  const std::uint8_t* begin() const noexcept { return data(); }
  const std::uint8_t* end() const noexcept { return data() + size(); }
  std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

  // Makes room for n bytes in total; throws std::bad_alloc, changing nothing.
  void reserve(std::size_t n) {
    if (n > capacity()) grow(n);
    else if (shared()) unshare(n);
  }
  // Lengthens with zeros or shortens to n bytes.
  void resize(std::size_t n) {
    if (n == size()) return;
    reserve(n);
    const std::size_t old = size();
    if (n > old) std::memset(bytes(block_) + old, 0, n - old);
    block_->size = n;
  }
  // Appends n bytes copied from src (which must not point into *this).
  void append(const std::uint8_t* src, std::size_t n) {
    if (n == 0) return;
    reserve(size() + n);
    std::memcpy(bytes(block_) + size(), src, n);
    block_->size += n;
  }

 private:
  // Plain fields, so that realloc may move a block; `shares` is only ever
  // touched through std::atomic_ref.
  struct Block {
    std::size_t size;
    std::size_t cap;
    std::size_t shares;
  };
  explicit ByteBuffer(Block* b) noexcept : block_(b) {}
  static std::atomic_ref<std::size_t> shares(Block* b) noexcept { return std::atomic_ref<std::size_t>(b->shares); }
  static std::uint8_t* bytes(Block* b) noexcept { return reinterpret_cast<std::uint8_t*>(b + 1); }
  static const std::uint8_t* bytes(const Block* b) noexcept { return reinterpret_cast<const std::uint8_t*>(b + 1); }

  void make_unique() {
    if (shared()) unshare(size());
  }
  void drop() noexcept {
    if (block_ && shares(block_).fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(block_);
    block_ = nullptr;
  }
  static Block* allocate(std::size_t cap) {
    if (cap > SIZE_MAX - sizeof(Block)) throw std::bad_alloc();
    auto* b = static_cast<Block*>(std::malloc(sizeof(Block) + cap));
    if (!b) throw std::bad_alloc();
    *b = Block{0, cap, 1};
    return b;
  }

  // Copies a shared block into one of this owner's own, with room for
  // `cap` bytes (at least the current size); the other owners keep the old.
  void unshare(std::size_t cap) {
    Block* b = allocate(cap < size() ? size() : cap);
    b->size = block_->size;
    std::memcpy(bytes(b), bytes(block_), block_->size);
    drop();
    block_ = b;
  }

  // Room for `need` bytes (more than the capacity).
  void grow(std::size_t need) {
    // Small files get what they ask for; growing files double.
    std::size_t cap = capacity() * 2;
    if (cap < need) cap = need;
    if (cap > (SIZE_MAX - sizeof(Block)) / 2) cap = need;
    if (!block_) {
      block_ = allocate(cap);
      return;
    }
    if (shared()) return unshare(cap);
    if (need > SIZE_MAX - sizeof(Block)) throw std::bad_alloc();
    void* p = std::realloc(block_, sizeof(Block) + cap);
    if (!p) throw std::bad_alloc();
    block_ = static_cast<Block*>(p);
    block_->cap = cap;
  }

  Block* block_ = nullptr;
};

}  // namespace ferrowick
