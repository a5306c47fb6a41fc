// The option parser of the terminal's `rm` command.
//
// Reads the argument words as the options and operand of a program named
// "ferrowick", version "0.1.3":
//   -r, --recursive   flag, at most once, before or after the operand
//   -h, --help        stops parsing, yields the help text
//   -V, --version     stops parsing, yields the version line
//   <TARGET>          exactly one operand
// A word beginning with '-' is an option, except the lone "-", which is an
// operand; short options may be grouped ("-rh"); "--" ends option
// processing and every later word is an operand. Words are taken left to
// right and the first help, version or error decides the outcome.
#pragma once

#include <span>
#include <string>

#include "common/expected.h"

namespace ferrowick {

struct RmArgs {
  bool recursive = false;
  std::string target;
};

// The parsed arguments, or the text to show instead: the help text, the
// version line, or an error message. Every such text ends with "\n".
Expected<RmArgs, std::string> parse_rm_args(std::span<const std::string> words);

}  // namespace ferrowick
