// Pure pieces of the pool: account names and `id -u` parsing. No root
// needed.
#include <gtest/gtest.h>

#include <set>

#include "pool/name_generator.h"
#include "pool/user_pool.h"

namespace ferrowick {
namespace {

TEST(NameGenerator, FixedSeedGivesTheKnownSequence) {
  NameGenerator gen, again;
  for (std::uint32_t word : gen.state()) EXPECT_EQ(word, 0x2A2A2A2Au);
  EXPECT_EQ(gen.next_name(), "test_UKUKKUUK");
  EXPECT_EQ(gen.next_name(), "test_jii8OIPW");
  EXPECT_EQ(gen.next_name(), "test_9mP8mMxu");
  EXPECT_EQ(again.next_name(), "test_UKUKKUUK");  // every generator starts over
}

TEST(NameGenerator, CharactersComeFromAcceptedOutputsAndCoverTheAlphabet) {
  // Each character must be the top six bits of the next output that is at
  // most 0xF7FFFFFF; over 4000 draws all 62 characters show up.
  NameGenerator chars, raw;
  std::set<char> used;
  for (int i = 0; i < 4000; ++i) {
    std::uint32_t v;
    do v = raw.next_u32(); while (v > 0xF7FFFFFFu);
    char c = chars.next_char();
    ASSERT_EQ(c, NameGenerator::kAlphabet[v >> 26]) << "char " << i;
    used.insert(c);
  }
  EXPECT_EQ(used.size(), 62u);
}

TEST(UidParsing, FirstLineAsUnsignedDecimal) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"1001\n", 1001}, {"1001", 1001}, {"1001\r\n", 1001}, {"0\n", 0u}, {"+5\n", 5},
      {"4294967295\n", 4294967295u}, {"1001\n2002\n", 1001}, {"007\n", 7},
      {"1001 \n", std::nullopt}, {" 1001\n", std::nullopt}, {"", std::nullopt}, {"\n", std::nullopt},
      {"+\n", std::nullopt}, {"-1\n", std::nullopt}, {"-0\n", std::nullopt}, {"++5\n", std::nullopt},
      {"4294967296\n", std::nullopt}, {"12a\n", std::nullopt}, {"1001\r", std::nullopt},
  };
  for (const auto& [output, uid] : cases) EXPECT_EQ(parse_uid_line(output), uid) << '"' << output << '"';
}

}  // namespace
}  // namespace ferrowick
