#include "pool/run_framing.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <random>

namespace ferrowick {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_byte(std::string& out, unsigned char c) {
  out += kHex[c >> 4];
  out += kHex[c & 0xf];
}

}  // namespace

std::string new_run_token() {
  unsigned char bytes[8];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR) break;
  }
  if (got < sizeof bytes) {
    std::random_device rd;  // no getrandom(2): the library's own source
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(rd());
  }
  std::string token;
  for (unsigned char b : bytes) append_hex_byte(token, b);
  return token;
}

std::string framed_command_line(std::string_view command, std::string_view token) {
  const std::string first(token.substr(0, token.size() / 2));
  const std::string second(token.substr(token.size() / 2));
  // Inside eval, before the command: tracing back on if the shell had it,
  // with the status the line found (the trace of that call goes nowhere).
  std::string quoted = "$'{ __fw_on;} 2>/dev/null;";
  for (unsigned char c : command) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'' && c != '!') {
      quoted += static_cast<char>(c);
    } else {
      quoted += "\\x";
      append_hex_byte(quoted, c);
    }
  }
  quoted += '\'';
  // The shell echoes every byte of the line, at a few microseconds each, so
  // the line is short. Its functions are (re)defined by every line, so a
  // new or nested shell needs nothing set up. `{ ...;} 2>/dev/null` keeps
  // the trace of what it holds out of the output; __fw_s carries a status
  // across the framing's own commands, __fw_o the shell's options.
  const std::string pieces = first + " " + second;
  return " { __fw_s=$? __fw_o=$-;set +x;} 2>/dev/null;"
         "__ferrowick(){ builtin printf %s%s:$__fw_s\\\\n fw-$1 $2;};"
         "__fw_on(){ [[ $__fw_o = *x* ]]&&set -x;return $__fw_s;};"
         "__ferrowick " + pieces + "-s;eval " + quoted + " </dev/null;"
         "{ __fw_s=$? __fw_o=$-;set +x;} 2>/dev/null;__ferrowick " + pieces + "-w;"
         "IFS= read -r __fw_n;__ferrowick \"$__fw_n\" -e;{ __fw_on;} 2>/dev/null\n";
}

namespace {

// How much of the line's echo identifies it: less than fits on a terminal
// line after a prompt, more than a command's output shares with it by chance.
constexpr std::size_t kEchoHead = 24;

enum class Match { kNone, kPartial, kFound };

struct MarkerLine {
  Match match = Match::kNone;
  std::size_t begin = 0;  // kPartial, kFound: where the marker begins
  std::size_t end = 0;    // kFound: after its line feed; kNone: bytes that begin no marker
  int status = 0;
};

// Finds `marker` followed by 1 to 10 digits, an optional "\r" and "\n".
MarkerLine find_marker_line(std::string_view text, std::string_view marker) {
  constexpr std::size_t kMaxDigits = 10;
  for (std::size_t at = text.find(marker); at != std::string_view::npos; at = text.find(marker, at + 1)) {
    std::size_t p = at + marker.size();
    int status = 0;
    std::size_t digits = 0;
    while (p < text.size() && digits <= kMaxDigits && text[p] >= '0' && text[p] <= '9') {
      status = std::min(status * 10 + (text[p] - '0'), 1 << 20);
      ++p;
      ++digits;
    }
    if (p < text.size() && text[p] == '\r') ++p;
    if (p >= text.size()) {
      if (digits <= kMaxDigits) return {Match::kPartial, at, 0, 0};
      continue;
    }
    if (digits > 0 && digits <= kMaxDigits && text[p] == '\n') return {Match::kFound, at, p + 1, status};
  }
  // A marker may begin in the last bytes.
  const std::size_t keep = std::min(text.size(), marker.size() - 1);
  return {Match::kNone, 0, text.size() - keep, 0};
}

void append_capped(std::string& to, std::string_view bytes, std::size_t cap, std::size_t* dropped) {
  const std::size_t room = cap - std::min(cap, to.size());
  to.append(bytes.substr(0, room));
  if (dropped) *dropped += bytes.size() - std::min(room, bytes.size());
}

}  // namespace

FrameScanner::FrameScanner(std::string_view token, std::string_view nonce, std::string_view line,
                           std::size_t max_output)
    : start_("fw-" + std::string(token) + "-s:"),
      await_("fw-" + std::string(token) + "-w:"),
      end_("fw-" + std::string(nonce) + "-e:"),
      echo_(line.substr(0, std::min(line.find('\n'), kEchoHead))),
      max_output_(max_output) {}

void FrameScanner::sink(std::size_t n) {
  const std::string_view bytes(window_.data(), n);
  switch (state_) {
    case State::kBefore:
      append_capped(before_, bytes, max_output_, nullptr);
      break;
    case State::kBody:
      append_capped(output_, bytes, max_output_, &dropped_);
      break;
    case State::kAwaiting:  // the nonce's echo
    case State::kDone:
      break;
  }
  window_.erase(0, n);
}

void FrameScanner::leave_before() {
  // Line editing draws a long line in pieces (wrapping, redrawing), so the
  // echo is known by its first bytes, and all from there to the frame is
  // the terminal's drawing of it.
  const std::size_t at = before_.find(echo_);
  if (at != std::string::npos) before_.erase(at);
}

FrameScanner::State FrameScanner::feed(std::string_view bytes) {
  window_.append(bytes);
  while (state_ != State::kDone) {
    const std::string& marker = state_ == State::kBefore ? start_ : state_ == State::kBody ? await_ : end_;
    const MarkerLine m = find_marker_line(window_, marker);
    if (m.match == Match::kNone) {
      sink(m.end);
      break;
    }
    sink(m.begin);
    if (m.match == Match::kPartial) break;
    window_.erase(0, m.end - m.begin);
    if (state_ == State::kBefore) {
      leave_before();
      state_ = State::kBody;
    } else if (state_ == State::kBody) {
      state_ = State::kAwaiting;
    } else {
      status_ = m.status;
      state_ = State::kDone;
    }
  }
  return state_;
}

}  // namespace ferrowick
