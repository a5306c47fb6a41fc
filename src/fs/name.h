// Name: a short text in 16 bytes; up to 15 bytes live inside
// the object, longer names in one heap block. Converts to std::string_view.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace ferrowick {

class Name {
 public:
  static constexpr std::size_t kInline = 15;

  Name() noexcept { std::memset(b_, 0, sizeof b_); }
  explicit Name(std::string_view s) {
    std::memset(b_, 0, sizeof b_);
    if (s.size() <= kInline) {
      if (!s.empty()) std::memcpy(b_, s.data(), s.size());
      b_[kTag] = static_cast<unsigned char>(s.size());
      return;
    }
    if (s.size() > UINT32_MAX) throw std::bad_alloc();
    char* p = static_cast<char*>(std::malloc(s.size()));
    if (!p) throw std::bad_alloc();
    std::memcpy(p, s.data(), s.size());
    const auto n = static_cast<std::uint32_t>(s.size());
    std::memcpy(b_, &p, sizeof p);
    std::memcpy(b_ + sizeof p, &n, sizeof n);
    b_[kTag] = kHeap;
  }
  Name(Name&& o) noexcept {
    std::memcpy(b_, o.b_, sizeof b_);
    std::memset(o.b_, 0, sizeof o.b_);
  }
  // Renaming: takes `o`'s text (allocates nothing) and gives back its own.
  Name& operator=(Name&& o) noexcept {
    unsigned char t[sizeof b_];
    std::memcpy(t, b_, sizeof b_);
    std::memcpy(b_, o.b_, sizeof b_);
    std::memcpy(o.b_, t, sizeof b_);
    return *this;
  }
  Name(const Name&) = delete;
  ~Name() {
    if (b_[kTag] == kHeap) std::free(heap_ptr());
  }

  const char* data() const noexcept { return b_[kTag] == kHeap ? heap_ptr() : reinterpret_cast<const char*>(b_); }
  std::size_t size() const noexcept {
    if (b_[kTag] != kHeap) return b_[kTag];
    std::uint32_t n;
    std::memcpy(&n, b_ + sizeof(char*), sizeof n);
    return n;
  }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }

  // Byte-wise equality without a library call: most names are a few bytes.
  bool equals(std::string_view s) const noexcept {
    const std::size_t n = size();
    if (n != s.size()) return false;
    const char* d = data();
    for (std::size_t i = 0; i < n; ++i)
      if (d[i] != s[i]) return false;
    return true;
  }
  friend bool operator==(const Name& a, std::string_view b) noexcept { return a.equals(b); }
  friend std::string operator+(std::string a, const Name& b) { return a.append(b.view()); }

 private:
  static constexpr std::size_t kTag = 15;
  static constexpr unsigned char kHeap = 0xFF;
  char* heap_ptr() const noexcept {
    char* p;
    std::memcpy(&p, b_, sizeof p);
    return p;
  }
  unsigned char b_[16];
};

}  // namespace ferrowick
