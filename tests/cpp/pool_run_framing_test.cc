// run()'s framing of one command, without a shell: what the scanner accepts
// as the command's output and status, however the output arrives.
#include <gtest/gtest.h>

#include <string>

#include "pool/run_framing.h"

namespace ferrowick {
namespace {

const std::string kToken = "0123456789abcdef";
const std::string kNonce = "fedcba9876543210";
const std::string kStart = "fw-" + kToken + "-s:0\r\n";
const std::string kAwait = "fw-" + kToken + "-w:";
const std::string kEnd = "fw-" + kNonce + "-e:";

struct Case {
  const char* name;
  std::string output;  // as the terminal printed it
  int status;
  std::string body;
  std::string before;
  std::string rest;
  std::size_t max_output = std::string::npos;
  std::size_t dropped = 0;
};

TEST(FrameScanner, FindsTheFrameHoweverTheOutputArrives) {
  const std::string line = framed_command_line("echo hi", kToken);
  const std::string echo = line.substr(0, line.size() - 1) + "\r\n";
  const std::string nonce_echo = kNonce + "\r\n";
  const Case cases[] = {
      {"plain", "$ " + echo + "\x1b[?2004l\r" + kStart + "hi\r\n" + kAwait + "0\r\n" + nonce_echo + kEnd + "0\r\n$ ", 0,
       "hi\r\n", "$ ", "$ "},
      {"earlier output kept", "job done\r\n" + echo + kStart + kAwait + "0\r\n" + kEnd + "127\r\n", 127, "",
       "job done\r\n", ""},
      {"no final line feed", kStart + "no newline" + kAwait + "1\r\n" + kEnd + "1\r\n", 1, "no newline", "", ""},
      {"bare line feeds", kStart + "x\n" + kAwait + "2\n" + kEnd + "2\nrest", 2, "x\n", "", "rest"},
      {"look-alikes", "fw-" + kToken + "-s:\r\n" + kStart + "fw-other-w:9\r\n" + kAwait + "x\r\n" + kAwait +
                          "12345678901\r\n" + kAwait + "4\r\n" + kEnd + "4\r\n",
       4, "fw-other-w:9\r\n" + kAwait + "x\r\n" + kAwait + "12345678901\r\n", "fw-" + kToken + "-s:\r\n", ""},
      // What the command can print from the history: the start and await
      // markers, but not the end marker; the status is the shell's.
      {"forged", kStart + "a" + kAwait + "0\r\nfw-" + kToken + "-e:0\r\nb\r\n" + kAwait + "3\r\n" + kEnd + "3\r\n", 3,
       "a", "", ""},
      {"output beyond the limit", "0123456789" + kStart + "abcdefghij" + kAwait + "0\r\n" + kEnd + "0\r\n", 0, "abcd",
       "0123", "", 4, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and one byte at a time: the frame is found exactly when its
    // last line has arrived.
    for (std::size_t step : {c.output.size(), std::size_t{1}}) {
      FrameScanner frame(kToken, kNonce, line, c.max_output);
      std::size_t fed = 0;
      for (; fed < c.output.size() && frame.state() != FrameScanner::State::kDone; fed += step) {
        frame.feed(std::string_view(c.output).substr(fed, step));
      }
      ASSERT_EQ(frame.state(), FrameScanner::State::kDone);
      if (step == 1) {
        EXPECT_EQ(fed, c.output.size() - c.rest.size());
      } else {
        EXPECT_EQ(frame.rest(), c.rest);
      }
      EXPECT_EQ(frame.status(), c.status);
      EXPECT_EQ(frame.output(), c.body);
      EXPECT_EQ(frame.before(), c.before);
      EXPECT_EQ(frame.dropped(), c.dropped);
    }
  }
}

TEST(FrameScanner, WaitsForTheNonceBeforeTheEnd) {
  FrameScanner frame(kToken, kNonce, "x\n");
  EXPECT_EQ(frame.feed("fw-" + kToken + "-e:0\r\n"), FrameScanner::State::kBefore);  // an end without a start
  EXPECT_EQ(frame.feed(kStart + "hi\r\n" + kAwait + "1"), FrameScanner::State::kBody);  // the status may go on
  EXPECT_EQ(frame.feed("\r\n" + kEnd), FrameScanner::State::kAwaiting);
  EXPECT_EQ(frame.feed("1\r"), FrameScanner::State::kAwaiting);
  EXPECT_EQ(frame.rest(), kEnd + "1\r");  // held back, nothing more
  EXPECT_EQ(frame.feed("\n"), FrameScanner::State::kDone);
  EXPECT_EQ(frame.output(), "hi\r\n");
}

TEST(FramedCommandLine, SendsOnlyPrintableAsciiAndNeverTheJoinedMarkers) {
  const std::string line = framed_command_line("printf 'a\\tb' \t\x01\xc3\xa9!x", kToken);
  ASSERT_EQ(line.back(), '\n');
  for (std::size_t i = 0; i + 1 < line.size(); ++i) EXPECT_TRUE(line[i] >= 0x20 && line[i] < 0x7f) << i;
  for (const char* kind : {"-s:", "-w:"}) EXPECT_EQ(line.find("fw-" + kToken + kind), std::string::npos);
  EXPECT_EQ(line.find("-e:"), std::string::npos);
  EXPECT_EQ(line.find('!'), std::string::npos);
  EXPECT_NE(line.find("eval $'{ __fw_on;} 2>/dev/null;printf \\x27a\\x5ctb\\x27 \\x09\\x01\\xc3\\xa9\\x21x' </dev/null;"), std::string::npos);
  EXPECT_NE(new_run_token(), new_run_token());
  EXPECT_EQ(new_run_token().size(), 16u);
}

}  // namespace
}  // namespace ferrowick
