#include "common/utf8.h"

#include <cstring>

#include <cstddef>
#include <cstdint>

namespace ferrowick {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Checks the sequence that starts at s[i] (a non-ASCII byte). Returns its
// length when it is complete and well-formed; otherwise 0 and sets `bad` to
// the length of the maximal ill-formed subpart (at least 1).
std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto b = static_cast<std::uint8_t>(s[i]);
  std::size_t len = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  std::size_t k = 1;
  for (; k < len && i + k < s.size(); ++k) {
    const auto c = static_cast<std::uint8_t>(s[i + k]);
    if (k == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) break;
  }
  if (k == len) return len;
  bad = k;
  return 0;
}

// Index of the first ill-formed byte, or s.size().
std::size_t first_invalid(std::string_view s, std::size_t i) {
  std::size_t bad = 0;
  while (i < s.size()) {
    // ASCII runs, the common case, are skipped eight bytes at a time.
    while (i + 8 <= s.size()) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= s.size()) break;
    if (static_cast<std::uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = sequence_at(s, i, bad);
    if (len == 0) return i;
    i += len;
  }
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) { return first_invalid(bytes, 0) == bytes.size(); }

std::string decode_utf8_lossy(std::string bytes) {
  const std::string_view s = bytes;
  std::size_t i = first_invalid(s, 0);
  if (i == s.size()) return bytes;
  std::string out;
  out.reserve(s.size() + 2 * (s.size() - i));
  out.append(s.data(), i);
  while (i < s.size()) {
    std::size_t bad = 0;
    sequence_at(s, i, bad);
    out += kReplacement;
    i += bad;
    const std::size_t next = first_invalid(s, i);
    out.append(s.data() + i, next - i);
    i = next;
  }
  return out;
}

}  // namespace ferrowick
