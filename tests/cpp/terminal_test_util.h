// Helpers shared by the terminal tests: run a script of command lines on a
// terminal and compare every result.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "terminal/simple_terminal.h"

namespace ferrowick::testing {

// One command line and what it must give: output text or error text.
struct Step {
  std::string line;
  bool ok;
  std::string text;
};
inline Step Out(std::string line, std::string text = "") { return {std::move(line), true, std::move(text)}; }
inline Step Err(std::string line, std::string text) { return {std::move(line), false, std::move(text)}; }

inline void run_script(SimpleTerminal& term, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    const CommandResult r = term.run(s.line);
    if (s.ok) {
      ASSERT_TRUE(r.has_value()) << "`" << s.line << "` failed: " << r.error();
      EXPECT_EQ(*r, s.text) << "`" << s.line << "`";
    } else {
      ASSERT_FALSE(r.has_value()) << "`" << s.line << "` succeeded with: " << *r;
      EXPECT_EQ(r.error(), s.text) << "`" << s.line << "`";
    }
  }
}

class TerminalTest : public ::testing::Test {
 protected:
  void run(const std::vector<Step>& steps) { run_script(term_, steps); }
  // The identifier of `path` (resolved from the root), as text.
  std::string id_of(const std::string& path) const {
    auto id = fs_->get_inode_by_path_raw(path);
    EXPECT_TRUE(id.has_value()) << path;
    return id ? std::to_string(*id) : "?";
  }

  std::shared_ptr<FileSystem> fs_ = FileSystem::create();
  SimpleTerminal term_{fs_};
};

}  // namespace ferrowick::testing
