// run()'s framing of one command, without a shell: what the scanner accepts
// as the command's output and status, however the output arrives.
#include <gtest/gtest.h>

#include <string>

#include "pool/run_framing.h"

namespace ferrowick {
namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kMarker = "fw-" + kToken;

struct Case {
  const char* name;
  std::string output;  // as the terminal printed it
  int status;
  std::string body;
  std::string rest;
};

TEST(FrameScanner, FindsTheFrameHoweverTheOutputArrives) {
  const std::string echo = framed_command_line("echo hi", kToken) + "\r";
  const Case cases[] = {
      {"plain", echo + kMarker + "-s:0\r\nhi\r\n" + kMarker + "-e:0\r\n$ ", 0, "hi\r\n", "$ "},
      {"no output, status", kMarker + "-s:0\r\n" + kMarker + "-e:127\r\n", 127, "", ""},
      {"no final line feed", kMarker + "-s:0\r\nno newline" + kMarker + "-e:1\r\n", 1, "no newline", ""},
      {"bare line feeds", kMarker + "-s:0\nx\n" + kMarker + "-e:2\nrest", 2, "x\n", "rest"},
      {"look-alikes", "fw-other-s:0\r\n" + kMarker + "-s:0\r\nfw-other-e:9\r\n" + kMarker +
                          "-e-not:3\r\n" + kMarker + "-e:4\r\n",
       4, "fw-other-e:9\r\n" + kMarker + "-e-not:3\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and one byte at a time: the frame is found exactly when its
    // last line has arrived.
    for (std::size_t step : {c.output.size(), std::size_t{1}}) {
      FrameScanner frame(kToken);
      std::string seen;
      bool found = false;
      for (std::size_t i = 0; i < c.output.size() && !found; i += step) {
        seen += c.output.substr(i, step);
        found = frame.scan(seen);
      }
      ASSERT_TRUE(found);
      if (step == 1) {
        EXPECT_EQ(seen.size(), c.output.size() - c.rest.size());
      }
      EXPECT_EQ(frame.status(), c.status);
      EXPECT_EQ(seen.substr(frame.body_begin(), frame.body_end() - frame.body_begin()), c.body);
      EXPECT_EQ(c.output.substr(frame.rest_begin()), c.rest);
    }
  }
}

TEST(FrameScanner, AnUnfinishedFrameIsNotFound) {
  FrameScanner frame(kToken);
  EXPECT_FALSE(frame.scan(kMarker + "-s:0\r\nhi\r\n" + kMarker + "-e:1"));  // the status may go on
  EXPECT_FALSE(FrameScanner(kToken).scan("hi\r\n" + kMarker + "-e:0\r\n"));  // an end without a start
}

TEST(FramedCommandLine, SendsOnlyPrintableAsciiAndNeverTheJoinedMarkers) {
  const std::string line = framed_command_line("printf 'a\\tb' \t\x01\xc3\xa9!x", kToken);
  ASSERT_EQ(line.back(), '\n');
  for (std::size_t i = 0; i + 1 < line.size(); ++i) EXPECT_TRUE(line[i] >= 0x20 && line[i] < 0x7f) << i;
  EXPECT_EQ(line.find(kMarker), std::string::npos);
  EXPECT_EQ(line.find('!'), std::string::npos);
  EXPECT_NE(line.find("eval $'printf \\x27a\\x5ctb\\x27 \\x09\\x01\\xc3\\xa9\\x21x'"), std::string::npos);
  EXPECT_NE(new_run_token(), new_run_token());
  EXPECT_EQ(new_run_token().size(), 16u);
}

}  // namespace
}  // namespace ferrowick
