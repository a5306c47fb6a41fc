// How TerminalSession::run() frames one command in an interactive shell.
//
// The shell echoes what it is sent, prints prompts, and may still print
// output of earlier commands, so the command's own output is framed by two
// marker lines that only the shell can produce: the line sent to it spells
// each marker in two pieces that printf joins, so no echo ever contains the
// joined text. The markers carry a random token per call, so text that only
// looks like a marker (or a marker of an abandoned call) never matches.
//
// The command travels inside $'...' with every byte outside printable ASCII
// (and the quote, backslash and '!') written as \xHH, so line editing sees
// no control character and history expansion sees no '!'; eval runs it in
// the shell itself, as if typed. `$?` at its start is the status of the
// shell's previous command. The line defines a shell function,
// `__ferrowick`, that prints the markers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ferrowick {

// A fresh random token of 16 hexadecimal digits.
std::string new_run_token();

// The line (ending in "\n") that runs `command` framed by `token`'s markers.
std::string framed_command_line(std::string_view command, std::string_view token);

// Finds a token's frame in output that grows between calls.
class FrameScanner {
 public:
  explicit FrameScanner(std::string_view token);

  // True once `output` (everything read so far, only ever appended to)
  // holds the whole frame; the accessors below are then valid.
  bool scan(std::string_view output);

  int status() const { return status_; }
  // The command's output is output[body_begin, body_end); what follows the
  // end marker's line starts at rest_begin.
  std::size_t body_begin() const { return body_begin_; }
  std::size_t body_end() const { return body_end_; }
  std::size_t rest_begin() const { return rest_begin_; }

 private:
  std::string start_, end_;
  std::size_t searched_ = 0;  // output before this holds no (part of a) marker sought now
  std::optional<std::size_t> body_begin_found_;
  int status_ = 0;
  std::size_t body_begin_ = 0, body_end_ = 0, rest_begin_ = 0;
};

}  // namespace ferrowick
