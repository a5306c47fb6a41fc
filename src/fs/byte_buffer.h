// ByteBuffer: a file's content. Eight bytes in the record; an empty file owns
// no memory, a non-empty one a single heap block holding length, capacity
// and the bytes. Blocks grow by realloc so large files extend in place.
//
// Every operation that may allocate does so before it changes anything: an
// allocation failure (std::bad_alloc) leaves the content as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

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
      std::free(block_);
      block_ = std::exchange(o.block_, nullptr);
    }
    return *this;
  }
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(block_); }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  std::size_t capacity() const noexcept { return block_ ? block_->cap : 0; }
  bool empty() const noexcept { return size() == 0; }
  std::uint8_t* data() noexcept { return block_ ? bytes(block_) : nullptr; }
  const std::uint8_t* data() const noexcept { return block_ ? bytes(block_) : nullptr; }
  const std::uint8_t* begin() const noexcept { return data(); }
  const std::uint8_t* end() const noexcept { return data() + size(); }
  std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

  // Makes room for n bytes in total; throws std::bad_alloc, changing nothing.
  void reserve(std::size_t n) {
    if (n > capacity()) grow(n);
  }
  // Lengthens with zeros or shortens to n bytes.
  void resize(std::size_t n) {
    reserve(n);
    const std::size_t old = size();
    if (n > old) std::memset(data() + old, 0, n - old);
    if (block_) block_->size = n;
  }
  // Appends n bytes copied from src (which must not point into *this).
  void append(const std::uint8_t* src, std::size_t n) {
    if (n == 0) return;
    reserve(size() + n);
    std::memcpy(data() + size(), src, n);
    block_->size += n;
  }

 private:
  struct Block {
    std::size_t size;
    std::size_t cap;
  };
  static std::uint8_t* bytes(Block* b) noexcept { return reinterpret_cast<std::uint8_t*>(b + 1); }
  static const std::uint8_t* bytes(const Block* b) noexcept { return reinterpret_cast<const std::uint8_t*>(b + 1); }

  void grow(std::size_t need) {
    // Small files get what they ask for; growing files double.
    std::size_t cap = capacity() * 2;
    if (cap < need) cap = need;
    if (cap > (SIZE_MAX - sizeof(Block)) / 2) cap = need;
    if (need > SIZE_MAX - sizeof(Block)) throw std::bad_alloc();
    void* p = std::realloc(block_, sizeof(Block) + cap);
    if (!p) throw std::bad_alloc();
    auto* b = static_cast<Block*>(p);
    if (!block_) b->size = 0;
    b->cap = cap;
    block_ = b;
  }

  Block* block_ = nullptr;
};

}  // namespace ferrowick
