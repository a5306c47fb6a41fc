#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "terminal/word_split.h"

namespace ferrowick {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* name;
  std::string line;
  Words words;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class WordSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WordSplitTest, SplitsIntoExpectedWords) {
  const SplitCase& c = GetParam();
  const auto words = word_split(c.line);
  ASSERT_TRUE(words.has_value()) << "line: " << c.line;
  EXPECT_EQ(*words, c.words) << "line: " << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WordSplitTest,
    ::testing::Values(
        // Blanks.
        SplitCase{"empty", "", {}},
        SplitCase{"only_blanks", " \t\n \t", {}},
        SplitCase{"runs_are_one_separator", "  a \t\n b\t\tc  ", {"a", "b", "c"}},
        // Comments.
        SplitCase{"comment_line", "# note", {}},
        SplitCase{"comment_after_word", "echo hi #x", {"echo", "hi"}},
        SplitCase{"hash_inside_word", "echo hi#x", {"echo", "hi#x"}},
        SplitCase{"comment_ends_at_newline", "a # b 'c\nd", {"a", "d"}},
        SplitCase{"hash_after_empty_quotes_is_ordinary", "''#x", {"#x"}},
        SplitCase{"hash_in_quotes", "'#x' \"#y\"", {"#x", "#y"}},
        SplitCase{"escaped_hash", "\\#x", {"#x"}},
        // Single quotes.
        SplitCase{"single_literal", "'a \\ \" $ \n b'", {"a \\ \" $ \n b"}},
        SplitCase{"single_adjacent", "'it''s'", {"its"}},
        SplitCase{"single_empty", "''", {""}},
        // Double quotes and their escapes.
        SplitCase{"double_keeps_blanks", "\"a   b\"", {"a   b"}},
        SplitCase{"double_escaped_quote", "\"a\\\"b\"", {"a\"b"}},
        SplitCase{"double_four_escapes", "\"\\$\\`\\\"\\\\\"", {"$`\"\\"}},
        SplitCase{"double_other_escape_kept", "\"a\\qb\"", {"a\\qb"}},
        SplitCase{"double_backslash_newline_dropped", "\"a\\\nb\"", {"ab"}},
        SplitCase{"double_single_quote_literal", "\"it's\"", {"it's"}},
        SplitCase{"double_empty", "\"\"", {""}},
        SplitCase{"double_newline_literal", "\"a\nb\"", {"a\nb"}},
        // Unquoted backslash.
        SplitCase{"backslash_blank", "a\\ b", {"a b"}},
        SplitCase{"backslash_letter", "x\\y", {"xy"}},
        SplitCase{"backslash_backslash", "a\\\\", {"a\\"}},
        SplitCase{"backslash_quote", "\\'a\\\"", {"'a\""}},
        SplitCase{"continuation_joins", "a\\\nb", {"ab"}},
        SplitCase{"continuation_alone_is_no_word", "a \\\n b", {"a", "b"}},
        SplitCase{"continuation_then_comment", "a \\\n#c", {"a"}},
        // Touching pieces and empty words.
        SplitCase{"pieces_join", "a\"b c\"'d'", {"ab cd"}},
        SplitCase{"empty_words_kept", "\"\" x '' \"\"''", {"", "x", "", ""}},
        SplitCase{"quote_then_plain", "\"a\"b'c'\\d", {"abcd"}},
        // Bytes beyond ASCII are ordinary characters.
        SplitCase{"utf8_words", "\xC3\xA9t\xC3\xA9 '\xE2\x82\xAC x' \\\xF0\x9F\x98\x80",
                  {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC x", "\xF0\x9F\x98\x80"}},
        SplitCase{"nul_byte", std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WordSplit, MalformedLinesGiveNoWords) {
  const char* lines[] = {
      "echo \"abc",   "echo 'abc",   "a\\",          "\"a\\",       "'",
      "\"",           "\"\\\"",      "ok 'x\" y",   "ok \"x' y",   "a # fine\n'b",
      "'''",          "echo \"a\\\\\\",
  };
  for (const char* line : lines) EXPECT_EQ(word_split(line), std::nullopt) << "line: " << line;
}

TEST(WordSplit, EscapedTrailingBackslashIsNotMalformed) {
  EXPECT_EQ(word_split("echo a\\\\"), (Words{"echo", "a\\"}));
  // Inside single quotes a backslash is literal, even at the end.
  EXPECT_EQ(word_split("'a\\'"), (Words{"a\\"}));
  // A backslash at the end of a comment is part of the comment.
  EXPECT_EQ(word_split("a #b\\"), (Words{"a"}));
}

// Random bytes: never a crash, and the words never hold more bytes than the
// line (every rule keeps or drops characters, none adds any).
TEST(WordSplitFuzz, RandomBytesAreHandled) {
  std::mt19937 rng(12345);
  const std::string specials = " \t\n#'\"\\$`";
  for (int iter = 0; iter < 20000; ++iter) {
    std::string line(rng() % 40, '\0');
    for (char& c : line) {
      c = (rng() % 3 == 0) ? specials[rng() % specials.size()] : static_cast<char>(rng() % 256);
    }
    const auto words = word_split(line);
    if (!words) continue;
    std::size_t total = 0;
    for (const auto& w : *words) total += w.size();
    ASSERT_LE(total, line.size()) << "line of " << line.size() << " bytes";
  }
}

// Valid UTF-8 lines always give valid UTF-8 words.
TEST(WordSplitFuzz, ValidUtf8StaysValid) {
  const std::vector<std::string> pieces = {" ",   "\t",  "\n",  "#",   "'",   "\"",  "\\",
                                           "$",   "`",   "a",   "Z",   "0",   "\xC3\xA9",
                                           "\xE2\x82\xAC",  "\xF0\x9F\x98\x80", "\xED\x9F\xBF",
                                           "\xEF\xBF\xBD",  "\xC2\x80"};
  std::mt19937 rng(777);
  int split = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    std::string line;
    const std::size_t n = rng() % 24;
    for (std::size_t i = 0; i < n; ++i) line += pieces[rng() % pieces.size()];
    ASSERT_TRUE(is_valid_utf8(line));
    const auto words = word_split(line);
    if (!words) continue;
    ++split;
    for (const auto& w : *words) ASSERT_TRUE(is_valid_utf8(w)) << "line: " << line;
  }
  // The generator must reach well-formed lines often enough to mean something.
  EXPECT_GT(split, 2000);
}

}  // namespace
}  // namespace ferrowick
