// Small helpers shared by the libFuzzer targets.
//
// FUZZ_CHECK(cond, detail) aborts with a readable report when a property
// does not hold, so libFuzzer records the input as a crash. Inputs are split
// into records (usually lines) so that seeds can be written by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowick::fuzzing {

// `s` as a C-like literal: printable ASCII kept, everything else escaped.
inline std::string escaped(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + "\"";
}

inline std::string escaped(const std::vector<std::string>& words) {
  std::string out = "[";
  for (std::size_t i = 0; i < words.size(); ++i) out += (i ? ", " : "") + escaped(words[i]);
  return out + "]";
}

[[noreturn]] inline void fail(const char* cond, const std::string& detail, const char* file, int line) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n  %s\n", file, line, cond, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                                                        \
  do {                                                                                  \
    if (!(cond)) ::ferrowick::fuzzing::fail(#cond, (detail), __FILE__, __LINE__);       \
  } while (0)

// The input cut at every `sep`; the last record may be empty.
inline std::vector<std::string_view> split_records(const std::uint8_t* data, std::size_t size, char sep) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> out;
  for (std::size_t pos = 0;;) {
    const std::size_t end = all.find(sep, pos);
    if (end == std::string_view::npos) {
      out.push_back(all.substr(pos));
      return out;
    }
    out.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
}

}  // namespace ferrowick::fuzzing
