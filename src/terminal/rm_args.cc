#include "terminal/rm_args.h"

#include <cstddef>
#include <string_view>

namespace ferrowick {

namespace {

constexpr std::string_view kHelp =
    "Remove a file or a directory (potentially recursive)\n"
    "\n"
    "Usage: ferrowick [OPTIONS] <TARGET>\n"
    "\n"
    "Arguments:\n"
    "  <TARGET>\n"
    "\n"
    "Options:\n"
    "  -r, --recursive\n"
    "  -h, --help       Print help\n"
    "  -V, --version    Print version\n";

constexpr std::string_view kVersion = "ferrowick 0.1.3\n";

constexpr std::string_view kUsageTail =
    "\n"
    "\n"
    "For more information, try '--help'.\n";

std::string error_text(std::string_view first_line, std::string_view usage) {
  std::string out = "error: ";
  out += first_line;
  out += "\n\nUsage: ";
  out += usage;
  out += kUsageTail;
  return out;
}

Unexpected<std::string> unexpected_argument(std::string_view arg) {
  std::string line = "unexpected argument '";
  line += arg;
  line += "' found";
  return Unexpected(error_text(line, "ferrowick [OPTIONS] <TARGET>"));
}

Unexpected<std::string> recursive_twice() {
  return Unexpected(
      error_text("the argument '--recursive' cannot be used multiple times", "ferrowick [OPTIONS] <TARGET>"));
}

Unexpected<std::string> missing_target(bool recursive) {
  return Unexpected(error_text("the following required arguments were not provided:\n  <TARGET>",
                               recursive ? "ferrowick --recursive <TARGET>" : "ferrowick <TARGET>"));
}

// Length of the character starting at s[i], so that an unknown letter is
// reported whole even when it is not ASCII. Stray bytes count as one.
std::size_t char_length(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t n = 1;
  if (lead >= 0xF0) {
    n = 4;
  } else if (lead >= 0xE0) {
    n = 3;
  } else if (lead >= 0xC0) {
    n = 2;
  }
  std::size_t len = 1;
  while (len < n && i + len < s.size() && (static_cast<unsigned char>(s[i + len]) & 0xC0) == 0x80) ++len;
  return len;
}

enum class Step { Next, Help, Version };

class Parser {
 public:
  Expected<RmArgs, std::string> parse(std::span<const std::string> words) {
    bool options_done = false;
    for (const std::string& word : words) {
      Expected<Step, std::string> step = Step::Next;
      if (options_done || word.size() < 2 || word[0] != '-') {
        step = operand(word);
      } else if (word == "--") {
        options_done = true;
      } else if (word[1] == '-') {
        step = long_option(word);
      } else {
        step = short_group(word);
      }
      if (!step) return Unexpected(std::move(step).error());
      if (*step == Step::Help) return Unexpected(std::string(kHelp));
      if (*step == Step::Version) return Unexpected(std::string(kVersion));
    }
    if (!have_target_) return missing_target(args_.recursive);
    return std::move(args_);
  }

 private:
  Expected<Step, std::string> operand(const std::string& word) {
    if (have_target_) return unexpected_argument(word);
    args_.target = word;
    have_target_ = true;
    return Step::Next;
  }

  Expected<Step, std::string> recursive() {
    if (args_.recursive) return recursive_twice();
    args_.recursive = true;
    return Step::Next;
  }

  // "--name"; a value attached with '=' is not accepted by any option.
  Expected<Step, std::string> long_option(std::string_view word) {
    const std::string_view name = word.substr(2);
    if (name == "recursive") return recursive();
    if (name == "help") return Step::Help;
    if (name == "version") return Step::Version;
    return unexpected_argument(word);
  }

  // "-abc": each letter on its own, in order.
  Expected<Step, std::string> short_group(std::string_view word) {
    for (std::size_t i = 1; i < word.size();) {
      const std::size_t len = char_length(word, i);
      if (len == 1) {
        switch (word[i]) {
          case 'r': {
            auto step = recursive();
            if (!step) return step;
            ++i;
            continue;
          }
          case 'h':
            return Step::Help;
          case 'V':
            return Step::Version;
          default:
            break;
        }
      }
      std::string arg = "-";
      arg += word.substr(i, len);
      return unexpected_argument(arg);
    }
    return Step::Next;
  }

  RmArgs args_;
  bool have_target_ = false;
};

}  // namespace

Expected<RmArgs, std::string> parse_rm_args(std::span<const std::string> words) { return Parser().parse(words); }

}  // namespace ferrowick
