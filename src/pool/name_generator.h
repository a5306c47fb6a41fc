// NameGenerator: the account-name source of a pool.
//
// Marsaglia's xorshift128 over four 32-bit words, always seeded with sixteen
// bytes of 0x2A, so every pool of every run yields the same names in the same
// order: test_UKUKKUUK, test_jii8OIPW, test_9mP8mMxu, ... That determinism is
// what lets a new pool find and adopt the accounts an earlier run created.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

namespace ferrowick {

class NameGenerator {
 public:
  static constexpr std::string_view kPrefix = "test_";
  static constexpr std::size_t kNameChars = 8;
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

  NameGenerator() {
    std::array<std::uint8_t, 16> seed;
    seed.fill(0x2A);
    for (std::size_t i = 0; i < 4; ++i) {
      state_[i] = static_cast<std::uint32_t>(seed[4 * i]) |
                  static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
                  static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
                  static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
    }
  }

  // One xorshift128 step; the output is the new w.
  std::uint32_t next_u32() {
    auto& [x, y, z, w] = state_;
    std::uint32_t t = x ^ (x << 11);
    x = y;
    y = z;
    z = w;
    w = w ^ (w >> 19) ^ t ^ (t >> 8);
    return w;
  }

  // One letter or digit, drawn without bias: outputs whose top six bits are
  // 62 or 63 are skipped.
  char next_char() {
    for (;;) {
      std::uint32_t v = next_u32();
      if (v <= 0xF7FFFFFFu) return kAlphabet[v >> 26];
    }
  }

  // "test_" and eight characters.
  std::string next_name() {
    std::string name(kPrefix);
    name.reserve(kPrefix.size() + kNameChars);
    for (std::size_t i = 0; i < kNameChars; ++i) name.push_back(next_char());
    return name;
  }

  const std::array<std::uint32_t, 4>& state() const { return state_; }

 private:
  std::array<std::uint32_t, 4> state_{};  // x, y, z, w
};

}  // namespace ferrowick
