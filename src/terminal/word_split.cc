#include "terminal/word_split.h"

#include <cstddef>

namespace ferrowick {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Walks one line. Each piece reader starts just after its opening character
// and returns false when the line ends before the piece does.
class Splitter {
 public:
  explicit Splitter(std::string_view line) : s_(line) {}

  std::optional<std::vector<std::string>> run() {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (is_blank(c)) {
        if (in_word) {
          words.push_back(std::move(word));
          word.clear();
          in_word = false;
        }
        continue;
      }
      if (c == '#' && !in_word) {
        skip_comment();
        continue;
      }
      switch (c) {
        case '\'':
          if (!single_quoted(word)) return std::nullopt;
          break;
        case '"':
          if (!double_quoted(word)) return std::nullopt;
          break;
        case '\\':
          if (i_ == s_.size()) return std::nullopt;
          if (s_[i_++] == '\n') continue;  // a continuation leaves the state as it was
          word.push_back(s_[i_ - 1]);
          break;
        default:
          word.push_back(c);
      }
      in_word = true;
    }
    if (in_word) words.push_back(std::move(word));
    return words;
  }

 private:
  void skip_comment() {
    const std::size_t nl = s_.find('\n', i_);
    i_ = nl == std::string_view::npos ? s_.size() : nl + 1;
  }

  bool single_quoted(std::string& word) {
    const std::size_t close = s_.find('\'', i_);
    if (close == std::string_view::npos) return false;
    word.append(s_.data() + i_, close - i_);
    i_ = close + 1;
    return true;
  }

  bool double_quoted(std::string& word) {
    while (i_ < s_.size()) {
      // Copy the run of ordinary characters in one go.
      const std::size_t stop = s_.find_first_of("\"\\", i_);
      if (stop == std::string_view::npos) break;
      word.append(s_.data() + i_, stop - i_);
      i_ = stop + 1;
      if (s_[stop] == '"') return true;
      if (i_ == s_.size()) return false;
      const char next = s_[i_++];
      switch (next) {
        case '$':
        case '`':
        case '"':
        case '\\':
          word.push_back(next);
          break;
        case '\n':
          break;
        default:
          word.push_back('\\');
          word.push_back(next);
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<std::vector<std::string>> word_split(std::string_view line) { return Splitter(line).run(); }

}  // namespace ferrowick
