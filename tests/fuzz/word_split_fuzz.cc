// Differential fuzzing of the word splitter against a reference model.
//
// The model below is written from the quoting rules alone, as an explicit
// state machine that looks at one byte at a time; it shares no code with the
// splitter. Both must agree on every input: the same words, or both calling
// the line malformed. Valid UTF-8 lines must also give valid UTF-8 words.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "fuzz_support.h"
#include "terminal/word_split.h"

namespace {

enum class State {
  Between,       // between words: blanks are skipped, '#' starts a comment
  Word,          // inside a word, outside quotes
  Comment,       // until a newline
  Single,        // inside '...'
  Double,        // inside "..."
  Escape,        // after a backslash outside quotes
  DoubleEscape,  // after a backslash inside "..."
};

std::optional<std::vector<std::string>> model_split(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  State state = State::Between;
  // Whether the pending word exists (quotes may make an empty one), and
  // where a backslash-newline continuation returns to.
  bool started = false;
  State after_escape = State::Between;
  for (char c : line) {
    switch (state) {
      case State::Between:
      case State::Word:
        if (c == ' ' || c == '\t' || c == '\n') {
          if (started) words.push_back(word);
          word.clear();
          started = false;
          state = State::Between;
        } else if (c == '#' && state == State::Between) {
          state = State::Comment;
        } else if (c == '\\') {
          after_escape = state;
          state = State::Escape;
        } else if (c == '\'') {
          started = true;
          state = State::Single;
        } else if (c == '"') {
          started = true;
          state = State::Double;
        } else {
          word += c;
          started = true;
          state = State::Word;
        }
        break;
      case State::Comment:
        if (c == '\n') state = State::Between;
        break;
      case State::Single:
        if (c == '\'') {
          state = State::Word;
        } else {
          word += c;
        }
        break;
      case State::Double:
        if (c == '"') {
          state = State::Word;
        } else if (c == '\\') {
          state = State::DoubleEscape;
        } else {
          word += c;
        }
        break;
      case State::Escape:
        if (c == '\n') {
          state = after_escape;  // a continuation: as if neither byte was there
        } else {
          word += c;
          started = true;
          state = State::Word;
        }
        break;
      case State::DoubleEscape:
        if (c == '$' || c == '`' || c == '"' || c == '\\') {
          word += c;
        } else if (c != '\n') {
          word += '\\';
          word += c;
        }
        state = State::Double;
        break;
    }
  }
  if (state == State::Single || state == State::Double || state == State::Escape || state == State::DoubleEscape)
    return std::nullopt;
  if (started) words.push_back(word);
  return words;
}

std::string describe(const std::optional<std::vector<std::string>>& r) {
  return r ? ferrowick::fuzzing::escaped(*r) : std::string("malformed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto got = ferrowick::word_split(line);
  const auto want = model_split(line);
  FUZZ_CHECK(got == want, "line " + ferrowick::fuzzing::escaped(line) + "\n  splitter: " + describe(got) +
                              "\n  model:    " + describe(want));
  if (got && ferrowick::is_valid_utf8(line)) {
    for (const std::string& w : *got)
      FUZZ_CHECK(ferrowick::is_valid_utf8(w), "word " + ferrowick::fuzzing::escaped(w) + " of a valid line");
  }
  return 0;
}
