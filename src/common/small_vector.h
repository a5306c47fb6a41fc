// SmallVector<T, N>: a growable array of trivially copyable T that keeps its
// first N elements inside the object and moves to the heap only beyond that.
// Used for file contents (32 bytes inline) and directory children (8 inline).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace ferrowick {

template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds trivially copyable types");

 public:
  SmallVector() noexcept = default;
  SmallVector(std::initializer_list<T> init) { assign(init.begin(), init.size()); }
  SmallVector(const SmallVector& o) { assign(o.data(), o.size_); }
  SmallVector(SmallVector&& o) noexcept { steal(o); }
  SmallVector& operator=(const SmallVector& o) {
    if (this != &o) { size_ = 0; assign(o.data(), o.size_); }
    return *this;
  }
  SmallVector& operator=(SmallVector&& o) noexcept {
    if (this != &o) { release(); steal(o); }
    return *this;
  }
  ~SmallVector() { release(); }

  T* data() noexcept { return heap_ ? heap_ : inline_; }
  const T* data() const noexcept { return heap_ ? heap_ : inline_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return heap_ ? cap_ : N; }
  bool empty() const noexcept { return size_ == 0; }
  bool is_inline() const noexcept { return heap_ == nullptr; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }

  // Appends n elements copied from src (which must not point into *this).
  void append(const T* src, std::size_t n) {
    if (size_ + n > capacity()) grow(size_ + n);
    if (n) std::memcpy(static_cast<void*>(data() + size_), src, n * sizeof(T));
    size_ += n;
  }
  void push_back(const T& v) {
    if (size_ == capacity()) grow(size_ + 1);
    data()[size_++] = v;
  }
  void pop_back() noexcept { --size_; }
  void clear() noexcept { size_ = 0; }
  // Grows (zero-filling new elements) or shrinks to n elements.
  void resize(std::size_t n) {
    if (n > capacity()) grow(n);
    if (n > size_) std::memset(static_cast<void*>(data() + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  void reserve(std::size_t n) {
    if (n > capacity()) grow(n);
  }

 private:
  void assign(const T* src, std::size_t n) {
    if (n > capacity()) grow(n);
    if (n) std::memcpy(static_cast<void*>(data()), src, n * sizeof(T));
    size_ = n;
  }
  void grow(std::size_t need) {
    std::size_t cap = capacity() * 2;
    if (cap < need) cap = need;
    // realloc lets large buffers grow in place (mremap) instead of copying
    // and faulting in fresh pages on every doubling.
    T* p = static_cast<T*>(heap_ ? std::realloc(heap_, cap * sizeof(T)) : std::malloc(cap * sizeof(T)));
    if (!p) throw std::bad_alloc();
    // Inline means size_ <= N; the bound is spelled out for the compiler.
    if (!heap_ && size_) std::memcpy(static_cast<void*>(p), inline_, (size_ < N ? size_ : N) * sizeof(T));
    heap_ = p;
    cap_ = cap;
  }
  void steal(SmallVector& o) noexcept {
    size_ = o.size_;
    if (o.heap_) {
      heap_ = std::exchange(o.heap_, nullptr);
      cap_ = o.cap_;
    } else if (size_) {
      std::memcpy(static_cast<void*>(inline_), o.inline_, size_ * sizeof(T));
    }
    o.size_ = 0;
  }
  void release() noexcept {
    std::free(heap_);
    heap_ = nullptr;
    size_ = 0;
  }

  T* heap_ = nullptr;
  std::size_t size_ = 0;
  union {
    T inline_[N];
    std::size_t cap_;  // capacity once on the heap
  };
};

}  // namespace ferrowick
