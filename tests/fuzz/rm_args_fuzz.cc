// The option parser of rm on fuzzed argument words (one word per line).
//
// Whatever the words, the parser must answer without crashing, and:
//   - a successful parse has exactly one operand, the target, and recursion
//     exactly when -r or --recursive was given, with no unknown option;
//   - every refusal is the help text, the version line or an "error: " text,
//     ending in a newline.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "terminal/rm_args.h"

namespace {

// What a successful parse must have seen: the operands, and whether a word
// asked for recursion or for something the parser cannot succeed with.
struct Expectation {
  std::vector<std::string> operands;
  int recursive = 0;
  bool must_fail = false;
};

Expectation expect(const std::vector<std::string>& words) {
  Expectation e;
  bool options_done = false;
  for (const std::string& w : words) {
    if (options_done || w.size() < 2 || w[0] != '-') {
      e.operands.push_back(w);
    } else if (w == "--") {
      options_done = true;
    } else if (w == "--recursive") {
      ++e.recursive;
    } else if (w[1] == '-') {
      e.must_fail = true;  // help, version or unknown
    } else {
      for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i] == 'r') {
          ++e.recursive;
        } else {
          e.must_fail = true;
        }
      }
    }
  }
  if (e.operands.size() != 1 || e.recursive > 1) e.must_fail = true;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ferrowick::fuzzing::escaped;
  std::vector<std::string> words;
  if (size > 0)
    for (std::string_view w : ferrowick::fuzzing::split_records(data, size, '\n')) words.emplace_back(w);
  const auto parsed = ferrowick::parse_rm_args(words);
  const Expectation want = expect(words);
  if (parsed) {
    FUZZ_CHECK(!want.must_fail, "accepted " + escaped(words));
    FUZZ_CHECK(parsed->target == want.operands[0], "target " + escaped(parsed->target) + " of " + escaped(words));
    FUZZ_CHECK(parsed->recursive == (want.recursive == 1), "recursion flag of " + escaped(words));
    return 0;
  }
  const std::string& text = parsed.error();
  const bool known = text.starts_with("error: ") || text == "ferrowick 0.1.3\n" ||
                     text.starts_with("Remove a file or a directory (potentially recursive)\n\nUsage: ");
  FUZZ_CHECK(known && text.back() == '\n', "text " + escaped(text) + " for " + escaped(words));
  // A refusal that is an error names the usage and points to --help.
  if (text.starts_with("error: "))
    FUZZ_CHECK(text.find("\nUsage: ferrowick ") != std::string::npos &&
                   text.ends_with("\nFor more information, try '--help'.\n"),
               "error text " + escaped(text));
  return 0;
}
