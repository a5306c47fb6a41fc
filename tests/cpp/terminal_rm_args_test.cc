#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/rm_args.h"

namespace ferrowick {
namespace {

using Words = std::vector<std::string>;

const std::string kHelp =
    "Remove a file or a directory (potentially recursive)\n\nUsage: ferrowick [OPTIONS] <TARGET>\n\n"
    "Arguments:\n  <TARGET>\n\nOptions:\n  -r, --recursive\n  -h, --help       Print help\n"
    "  -V, --version    Print version\n";
const std::string kVersion = "ferrowick 0.1.3\n";
const std::string kTail = "\n\nUsage: ferrowick [OPTIONS] <TARGET>\n\nFor more information, try '--help'.\n";

std::string unexpected(const std::string& arg) { return "error: unexpected argument '" + arg + "' found" + kTail; }
std::string missing(const std::string& usage) {
  return "error: the following required arguments were not provided:\n  <TARGET>\n\nUsage: " + usage +
         "\n\nFor more information, try '--help'.\n";
}
const std::string kTwice = "error: the argument '--recursive' cannot be used multiple times" + kTail;

struct Accepted {
  Words words;
  bool recursive;
  std::string target;
};

TEST(RmArgs, AcceptedForms) {
  const Accepted cases[] = {
      {{"f"}, false, "f"},
      {{"-r", "d"}, true, "d"},
      {{"d", "-r"}, true, "d"},
      {{"--recursive", "d"}, true, "d"},
      {{"d", "--recursive"}, true, "d"},
      {{"--", "-x"}, false, "-x"},
      {{"-r", "--", "--"}, true, "--"},
      {{"--", "-r"}, false, "-r"},
      {{"-"}, false, "-"},
      {{"-r", "-"}, true, "-"},
      {{""}, false, ""},
      {{"a b"}, false, "a b"},
  };
  for (const auto& c : cases) {
    auto r = parse_rm_args(c.words);
    ASSERT_TRUE(r.has_value()) << c.words[0] << ": " << r.error();
    EXPECT_EQ(r->recursive, c.recursive) << c.words[0];
    EXPECT_EQ(r->target, c.target) << c.words[0];
  }
}

struct Refused {
  Words words;
  std::string text;
};

TEST(RmArgs, TextsInsteadOfArguments) {
  const Refused cases[] = {
      {{"-h"}, kHelp},
      {{"--help"}, kHelp},
      {{"-V"}, kVersion},
      {{"--version"}, kVersion},
      {{"-rh"}, kHelp},
      {{"d", "-rV"}, kVersion},
      {{"-h", "--bogus"}, kHelp},           // help stops parsing
      {{"-hx"}, kHelp},                     // ...also inside a group
      {{"--bogus", "-h"}, unexpected("--bogus")},  // the first word decides
      {{"-r"}, missing("ferrowick --recursive <TARGET>")},
      {{"--"}, missing("ferrowick <TARGET>")},
      {{"-x"}, unexpected("-x")},
      {{"-rx", "d"}, unexpected("-x")},
      {{"-R", "d"}, unexpected("-R")},
      {{"-\xC3\xA9", "d"}, unexpected("-\xC3\xA9")},
      {{"--recursive=1", "d"}, unexpected("--recursive=1")},
      {{"--help=x"}, unexpected("--help=x")},
      {{"--rec", "d"}, unexpected("--rec")},
      {{"---", "d"}, unexpected("---")},
      {{"a", "b"}, unexpected("b")},
      {{"--", "a", "b"}, unexpected("b")},
      {{"-r", "-r", "d"}, kTwice},
      {{"-rr", "d"}, kTwice},
      {{"d", "-r", "--recursive"}, kTwice},
  };
  for (const auto& c : cases) {
    auto r = parse_rm_args(c.words);
    ASSERT_FALSE(r.has_value()) << c.words[0];
    EXPECT_EQ(r.error(), c.text) << c.words[0];
  }
}

}  // namespace
}  // namespace ferrowick
