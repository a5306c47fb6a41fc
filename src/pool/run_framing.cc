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
  std::string quoted = "$'";
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
  // the line is short: one function, (re)defined by every line (so a new or
  // nested shell needs nothing set up), prints a marker line with a status
  // and returns that status. The first call takes the status the line found
  // (kept in __fw_rc across the definition, which resets $?), so the command
  // sees $? of the shell's previous command; the second takes the command's,
  // which the next line then finds.
  return " __fw_rc=$?;__ferrowick(){ local s=${__fw_rc-$?};unset __fw_rc;printf %s%s:$s\\\\n fw-$1 $2;return $s;};"
         "__ferrowick " + first + " " + second + "-s;eval " + quoted + ";__ferrowick " + first + " " + second + "-e\n";
}

FrameScanner::FrameScanner(std::string_view token) {
  const std::string joined = "fw-" + std::string(token);
  start_ = joined + "-s:";
  end_ = joined + "-e:";
}

bool FrameScanner::scan(std::string_view out) {
  // Where a marker that is not complete yet may begin.
  auto keep_tail = [&](std::size_t floor, std::size_t marker) {
    searched_ = std::max(floor, out.size() >= marker ? out.size() - marker + 1 : 0);
  };
  if (!body_begin_found_) {
    std::size_t at = out.find(start_, searched_);
    if (at == std::string_view::npos) {
      keep_tail(0, start_.size());
      return false;
    }
    std::size_t nl = out.find('\n', at + start_.size());
    if (nl == std::string_view::npos) {
      searched_ = at;
      return false;
    }
    ++nl;
    body_begin_found_ = nl;
    searched_ = nl;
  }
  std::size_t at = out.find(end_, searched_);
  if (at == std::string_view::npos) {
    keep_tail(*body_begin_found_, end_.size());
    return false;
  }
  std::size_t p = at + end_.size();
  int status = 0;
  while (p < out.size() && out[p] >= '0' && out[p] <= '9') {
    status = std::min(status * 10 + (out[p] - '0'), 1 << 20);
    ++p;
  }
  if (p < out.size() && out[p] == '\r') ++p;
  if (p >= out.size()) {  // the status or its line end is still to come
    searched_ = at;
    return false;
  }
  if (out[p] == '\n') ++p;
  status_ = status;
  body_begin_ = *body_begin_found_;
  body_end_ = at;
  rest_begin_ = p;
  return true;
}

}  // namespace ferrowick
