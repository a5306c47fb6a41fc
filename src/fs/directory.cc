#include "fs/directory.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/panic.h"
#include "fs/inode.h"
#include "fs/record_arena.h"

namespace ferrowick {

namespace {

constexpr std::uint64_t kFree = 0;
constexpr std::uint32_t kTombSlot = UINT32_MAX;  // (slot + 1) of a removed entry

// Eight bytes at a time, multiply and mix: names are short, and the index
// only needs the hashes of one directory's names to spread.
std::uint32_t hash_of(std::string_view name) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = name.size() * kMul;
  const char* p = name.data();
  std::size_t n = name.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  if (n) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
  }
  h ^= h >> 32;
  h *= kMul;
  return static_cast<std::uint32_t>(h >> 32);
}
std::uint32_t entry_hash(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e >> 32); }
std::uint32_t entry_slot1(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e); }

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

Directory::IndexTable::IndexTable(std::size_t size, const std::uint64_t* words) {
  const std::size_t bytes = size * sizeof(std::uint64_t);
  void* p = nullptr;
  if (bytes >= kHugePage) {
    p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
    if (p) madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
  } else {
    p = std::malloc(bytes);
  }
  if (!p) throw std::bad_alloc();
  if (words) {
    std::memcpy(p, words, bytes);
  } else {
    std::memset(p, 0, bytes);
  }
  words_ = static_cast<std::uint64_t*>(p);
  size_ = size;
}

Directory::IndexTable::~IndexTable() {
  if (!lent_) std::free(words_);
}

void Directory::BodyDeleter::operator()(Body* body) const noexcept {
  const std::size_t bytes = body->block_bytes;
  if (bytes == 0) {
    delete body;
    return;
  }
  body->~Body();
  free_block_memory(body, bytes);
}

Directory::~Directory() {
  if (!body_) return;
  for (INode* child : body_->slots)
    if (child) child->release();
}

INode* Directory::find(std::string_view name) const noexcept {
  if (!body_) return nullptr;
  const Body& b = *body_;
  if (b.index.empty()) {
    for (INode* child : b.slots)
      if (child && child->name.equals(name)) return child;
    return nullptr;
  }
  const std::uint32_t h = hash_of(name);
  const std::size_t mask = b.index.size() - 1;
  // The probe ends at a free entry: the index is never full (see reserve).
  FERROWICK_DEBUG_ASSERT(std::has_single_bit(b.index.size()) && b.index_used < b.index.size());
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const std::uint64_t e = b.index[i];
    if (e == kFree) return nullptr;
    const std::uint32_t slot1 = entry_slot1(e);
    if (slot1 != kTombSlot && entry_hash(e) == h) {
      INode* child = b.slots[slot1 - 1];
      if (child->name.equals(name)) return child;
    }
  }
}

void Directory::prefetch(std::string_view name) const noexcept {
  if (!body_ || body_->index.empty()) return;
  __builtin_prefetch(&body_->index[hash_of(name) & (body_->index.size() - 1)]);
}

void Directory::index_insert(std::uint32_t hash, std::uint32_t slot) noexcept {
  Body& b = *body_;
  const std::size_t mask = b.index.size() - 1;
  FERROWICK_DEBUG_ASSERT(std::has_single_bit(b.index.size()) && b.index_used < b.index.size());
  std::size_t i = hash & mask;
  while (b.index[i] != kFree) i = (i + 1) & mask;
  b.index[i] = (static_cast<std::uint64_t>(hash) << 32) | (slot + 1);
  ++b.index_used;
}

void Directory::rebuild_index() noexcept {
  Body& b = *body_;
  std::memset(&b.index[0], 0, b.index.size() * sizeof(std::uint64_t));
  b.index_used = 0;
  for (std::uint32_t slot = 0; slot < b.slots.size(); ++slot)
    if (INode* child = b.slots[slot]) index_insert(hash_of(child->name), slot);
}

void Directory::reserve_one() { reserve(1); }

void Directory::reserve(std::size_t more) {
  if (!body_) body_.reset(new Body);
  Body& b = *body_;
  FERROWICK_ASSERT(more < UINT32_MAX - 1 - b.slots.size());
  const std::size_t want = b.slots.size() + more;
  if (want > b.slots.capacity()) b.slots.reserve(std::max(want, b.slots.empty() ? std::size_t{4} : b.slots.size() * 2));
  if (want <= kScannedChildren && b.index.empty()) return;
  // Keep the index at most half full, tombstones included: a creation looks
  // up a name that is absent, and with linear probing such a search stays
  // within a cache line or two only at low load.
  if ((b.index_used + more) * 2 > b.index.size()) {
    const std::size_t cap = std::bit_ceil(std::max<std::size_t>(32, (b.live + more) * 2));
    IndexTable fresh(cap);  // may throw: nothing changed yet
    if (b.index.empty()) {
      b.index = std::move(fresh);
      rebuild_index();
      return;
    }
    // Rehash from the stored hashes: no child record is touched.
    const std::size_t mask = cap - 1;
    constexpr std::size_t kAhead = 8;  // random stores: load their lines early
    for (std::size_t k = 0; k < b.index.size(); ++k) {
      if (k + kAhead < b.index.size()) __builtin_prefetch(&fresh[entry_hash(b.index[k + kAhead]) & mask], 1);
      const std::uint64_t e = b.index[k];
      if (e == kFree || entry_slot1(e) == kTombSlot) continue;
      std::size_t i = entry_hash(e) & mask;
      while (fresh[i] != kFree) i = (i + 1) & mask;
      fresh[i] = e;
    }
    b.index = std::move(fresh);
    b.index_used = b.live;
  }
}

void Directory::assign_copies(const Directory& from, std::span<INode* const> copies, std::uint64_t stamp,
                              RecordArena& arena) {
  FERROWICK_ASSERT(empty());
  if (copies.empty()) return;
  const Body* source = from.body_.get();
  const bool same_slots = source && source->slots.size() == copies.size() && !source->index.empty();
  std::size_t index_size = 0;
  if (same_slots) {
    index_size = source->index.size();
  } else if (copies.size() > kScannedChildren) {
    index_size = std::bit_ceil(std::max<std::size_t>(32, copies.size() * 2));
  }
  // Everything that allocates comes first: a failure changes nothing. The
  // body, its slots and its index go into the arena's block in one piece
  // when they fit (nothing can fail after that), else on the heap.
  const std::size_t slot_bytes = copies.size() * sizeof(INode*);
  const std::size_t index_bytes = index_size * sizeof(std::uint64_t);
  const std::size_t packed = sizeof(Body) + slot_bytes + index_bytes;
  static_assert(sizeof(Body) % alignof(std::uint64_t) == 0);
  static_assert(alignof(Body) <= RecordArena::kPieceAlign && alignof(INode*) <= RecordArena::kPieceAlign &&
                alignof(std::uint64_t) <= RecordArena::kPieceAlign);
  std::unique_ptr<Body, BodyDeleter> body;
  if (void* memory = arena.allocate(packed)) {
    body.reset(new (memory) Body);
    body->block_bytes = packed;
    auto* slots = reinterpret_cast<INode**>(body.get() + 1);
    std::memcpy(slots, copies.data(), slot_bytes);
    body->slots.borrow(slots, copies.size());
    if (index_size) {
      auto* words = reinterpret_cast<std::uint64_t*>(slots + copies.size());
      if (same_slots) {
        std::memcpy(words, source->index.words(), index_bytes);
      } else {
        std::memset(words, 0, index_bytes);
      }
      body->index = IndexTable::lent(words, index_size);
    }
  } else {
    body.reset(new Body);
    body->slots.assign(copies);
    if (same_slots) {
      body->index = IndexTable(index_size, source->index.words());
    } else if (index_size) {
      body->index = IndexTable(index_size);
    }
  }
  if (same_slots) body->index_used = source->index_used;
  body_ = std::move(body);
  Body& b = *body_;
  for (INode* child : copies) child->retain_unshared();
  b.live = copies.size();
  b.stamp = stamp;
  if (!same_slots && !b.index.empty()) rebuild_index();
}

void Directory::append(INode* child, std::uint64_t stamp) noexcept {
  Body& b = *body_;
  const auto slot = static_cast<std::uint32_t>(b.slots.size());
  b.slots.push_back(child);  // capacity reserved: cannot throw
  child->retain();
  ++b.live;
  b.stamp = stamp;
  if (!b.index.empty()) index_insert(hash_of(child->name), slot);
}

bool Directory::remove(const INode* child, std::uint64_t stamp, bool give_back_memory) noexcept {
  if (!body_) return false;
  Body& b = *body_;
  std::size_t slot = b.slots.size();
  if (!b.index.empty()) {
    const std::uint32_t h = hash_of(child->name);
    const std::size_t mask = b.index.size() - 1;
    for (std::size_t i = h & mask; b.index[i] != kFree; i = (i + 1) & mask) {
      const std::uint32_t slot1 = entry_slot1(b.index[i]);
      if (slot1 != kTombSlot && b.slots[slot1 - 1] == child) {
        slot = slot1 - 1;
        b.index[i] = (static_cast<std::uint64_t>(h) << 32) | kTombSlot;
        break;
      }
    }
  } else {
    for (std::size_t i = 0; i < b.slots.size(); ++i) {
      if (b.slots[i] == child) {
        slot = i;
        break;
      }
    }
  }
  if (slot == b.slots.size()) return false;
  b.slots[slot] = nullptr;
  --b.live;
  b.stamp = stamp;
  while (!b.slots.empty() && b.slots.back() == nullptr) b.slots.pop_back();
  // Compacting an emptied directory gives its memory back, unless asked not to.
  if (b.slots.size() - b.live > b.live && (give_back_memory || b.live != 0)) compact();
  child->release();
  return true;
}

void Directory::remove_first(std::size_t count, std::uint64_t stamp) noexcept {
  if (!body_) return;
  Body& b = *body_;
  for (std::size_t i = 0; i < b.slots.size() && count > 0; ++i) {
    if (INode* child = b.slots[i]) {
      b.slots[i] = nullptr;
      child->release();
      --b.live;
      --count;
    }
  }
  b.stamp = stamp;
  compact();
}

void Directory::compact() noexcept {
  Body& b = *body_;
  std::size_t out = 0;
  for (INode* child : b.slots)
    if (child) b.slots[out++] = child;
  b.slots.shrink(out);
  if (b.live == 0) {
    // An emptied directory gives its memory back but keeps its stamp.
    b.slots.reset();
    b.index = IndexTable();
    b.index_used = 0;
    return;
  }
  if (!b.index.empty()) rebuild_index();
}

}  // namespace ferrowick
