// How TerminalSession::run() frames one command in an interactive shell.
//
// The shell echoes what it is sent, prints prompts, and may still print
// output of earlier commands, so the command's own output is framed by
// marker lines that only the shell can produce: the line sent to it spells
// each marker in two pieces that printf joins, so no echo ever contains the
// joined text. The markers carry a random token per call, so text that only
// looks like a marker (or a marker of an abandoned call) never matches.
//
// Three markers: "start" before the command, "await" after it, and "end".
// The command's output lies between start and await. At await the shell
// reads one line from the terminal, a second random token (the nonce) that
// run() sends only once it has seen await, and prints the end marker with
// it. So the end marker, and with it the status run() reports, cannot be
// made up from the line the shell was sent (which history keeps): only the
// shell, after the command has ended, learns the nonce. The shell and its
// programs belong to the account, though, so this guards against accidents
// and the history, not against a tenant that rewrites its own shell.
//
// The command travels inside $'...' with every byte outside printable ASCII
// (and the quote, backslash and '!') written as \xHH, so line editing sees
// no control character and history expansion sees no '!'; eval runs it in
// the shell itself, as if typed, with its standard input from /dev/null so
// that it cannot swallow what is sent to the shell after it. `$?` at its
// start is the status of the shell's previous command. The framing runs
// with tracing (set -x) off and turns it back on for the command alone.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace ferrowick {

// A fresh random token of 16 hexadecimal digits.
std::string new_run_token();

// The line (ending in "\n") that runs `command` framed by `token`'s markers.
std::string framed_command_line(std::string_view command, std::string_view token);

// The longest line a terminal without line editing takes (its line buffer
// less the line feed); longer lines are cut and leave the shell waiting.
inline constexpr std::size_t kCanonicalLineLimit = 4095;

// Finds a token's frame in output fed to it piece by piece, holding at most
// `max_output` bytes of the command's output and as many of what came
// before the frame, plus a few bytes of a marker that may be incomplete.
class FrameScanner {
 public:
  enum class State {
    kBefore,    // the start marker is still to come
    kBody,      // the command's output; the await marker is still to come
    kAwaiting,  // await seen: the nonce must be sent; the end marker is to come
    kDone,      // the end marker's line has arrived
  };

  // `line` is what was sent to the shell (its echo, and what follows it up
  // to the frame, is left out of before()).
  FrameScanner(std::string_view token, std::string_view nonce, std::string_view line,
               std::size_t max_output = std::numeric_limits<std::size_t>::max());

  // Takes the next bytes read; returns the state after them.
  State feed(std::string_view bytes);
  State state() const { return state_; }

  // The command's status, valid once kDone.
  int status() const { return status_; }
  // The command's output so far (at most max_output bytes) and how many
  // more bytes of it were read and dropped.
  const std::string& output() const { return output_; }
  std::size_t dropped() const { return dropped_; }
  // What arrived before the frame (at most max_output bytes), without the
  // echo of the line: output of earlier commands, the prompt.
  const std::string& before() const { return before_; }
  // What followed the end marker's line, or, before kDone, the bytes held
  // back because they may begin a marker.
  const std::string& rest() const { return window_; }

 private:
  void sink(std::size_t n);
  void leave_before();

  std::string start_, await_, end_, echo_;
  std::size_t max_output_;
  State state_ = State::kBefore;
  int status_ = 0;
  std::string window_;  // bytes not yet given to a phase
  std::string before_, output_;
  std::size_t dropped_ = 0;
};

}  // namespace ferrowick
