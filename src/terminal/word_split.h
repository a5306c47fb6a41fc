// Splitting a command line into words with shell-like quoting (no expansion).
//
// Rules:
//  - Space, tab and newline separate words; runs of them count as one.
//  - A '#' where a new word would begin starts a comment up to and including
//    the next newline. Inside a word '#' is ordinary.
//  - '...' keeps everything literally up to the next single quote.
//  - "..." keeps everything literally up to the next unescaped double quote,
//    except that backslash + one of $ ` " \ gives that character alone,
//    backslash + newline gives nothing, and backslash + anything else is kept
//    as both characters.
//  - Outside quotes a backslash makes the next character literal and is
//    dropped; backslash + newline (a line continuation) gives nothing and
//    does not by itself begin a word.
//  - Pieces that touch without a separator form one word; a pair of quotes
//    with nothing between them is the empty word.
//  - A line that ends inside quotes, or with a backslash outside single
//    quotes, is malformed and yields no words.
//
// The splitter works on bytes and only ever cuts at the ASCII characters
// above, so valid UTF-8 input always gives valid UTF-8 words.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowick {

// The words of `line`, or std::nullopt when the line is malformed.
std::optional<std::vector<std::string>> word_split(std::string_view line);

}  // namespace ferrowick
