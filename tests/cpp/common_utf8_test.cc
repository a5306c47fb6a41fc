#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/utf8.h"

namespace ferrowick {
namespace {

#define R "\xEF\xBF\xBD"  // U+FFFD

struct LossyCase {
  std::string in;
  std::string out;
};

TEST(Utf8Lossy, ReplacesEachMaximalSubpart) {
  const LossyCase cases[] = {
      {"", ""},
      {"plain ascii\n", "plain ascii\n"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\x80", R},
      {"\xDF", R},                        // truncated at the end
      {"\xC0\xAF", R R},                  // C0 never starts a sequence
      {"\xE0\x80\x80", R R R},            // overlong: second byte out of range
      {"\xE2\x82" "A", R "A"},            // truncated before ASCII: one replacement
      {"\xED\xA0\x80", R R R},            // surrogate
      {"\xF0\x9F\x98", R},                // truncated four-byte sequence
      {"\xF4\x90\x80\x80", R R R R},      // above U+10FFFF
      {"\xF5\x80", R R},
      {"\xFF\xFE", R R},
      {"\xF1\x80\x80\xE1\x80\xC2", R R R},
      {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" R R R "b" R "c" R R "d"},
      {"\xE2\x82\xAC\xF0\x90\x80", "\xE2\x82\xAC" R},
      {std::string("\0\x80", 2), std::string("\0", 1) + R},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_utf8_lossy(c.in), c.out) << "input of " << c.in.size() << " bytes";
    EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out);
  }
}

TEST(Utf8Lossy, RandomBytesAlwaysDecodeToValidText) {
  std::mt19937 rng(4242);
  for (int iter = 0; iter < 5000; ++iter) {
    std::string in(rng() % 32, '\0');
    for (char& c : in) c = static_cast<char>(0x70 + rng() % 0x90);  // mostly high bytes
    const std::string out = decode_utf8_lossy(in);
    ASSERT_TRUE(is_valid_utf8(out));
    // Decoding is a no-op exactly on valid input, and idempotent.
    EXPECT_EQ(is_valid_utf8(in), out == in);
    EXPECT_EQ(decode_utf8_lossy(out), out);
  }
}

#undef R

}  // namespace
}  // namespace ferrowick
