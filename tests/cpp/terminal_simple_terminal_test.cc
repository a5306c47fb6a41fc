#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "terminal/simple_terminal.h"
#include "terminal_test_util.h"

namespace ferrowick {
namespace {

using testing::Err;
using testing::Out;
using testing::TerminalTest;

constexpr const char* kMalformed = "The command was not correctly formatted";

TEST_F(TerminalTest, InterpreterEdgeCases) {
  run({
      Out(""),
      Out(" \t \t"),
      Out("# note"),
      Out("echo a   b", "a b"),
      Out("echo \"a   b\"", "a   b"),
      Out("echo"),
      Out("echo -n x", "-n x"),
      Out("echo 'it''s'", "its"),
      Out("echo hi #x", "hi"),
      Out("echo hi#x", "hi#x"),
      Out("echo \"a\\\"b\"", "a\"b"),
      Out("echo \"a\\qb\"", "a\\qb"),
      Out("echo a\\ b", "a b"),
      Out("echo a\\\\", "a\\"),
      Out("echo '' x ''", " x "),
      Out("echo \xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"),
      Err("echo \"abc", kMalformed),
      Err("echo 'abc", kMalformed),
      Err("echo abc\\", kMalformed),
      Err("ls \"x\\", kMalformed),
      Err("foo", "foo: command not found"),
      Err("ECHO x", "ECHO: command not found"),
      Err("\"\" x", ": command not found"),
      Err("'echo x'", "echo x: command not found"),
      Err("# c\nnope", "nope: command not found"),
  });
}

TEST_F(TerminalTest, MalformedLineDoesNothing) {
  run({Err("mkdir a 'b", kMalformed), Out("ls", "")});
}

TEST_F(TerminalTest, HelpListsTheNineCommandsOncePerLine) {
  const auto r = term_.run("help ignored words");
  ASSERT_TRUE(r.has_value());
  ASSERT_FALSE(r->empty());
  EXPECT_EQ(r->back(), '\n');
  std::vector<std::string> lines;
  std::istringstream in(*r);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  const std::vector<std::string> expected = {"cat", "cd", "echo", "help", "ls", "mkdir", "pwd", "rm", "touch"};
  EXPECT_EQ(lines, expected);
  // Every listed name is a command, and nothing else is.
  for (const auto& name : expected) EXPECT_EQ(commands().count(name), 1u) << name;
  EXPECT_EQ(commands().size(), 9u);
}

TEST_F(TerminalTest, PwdFollowsCd) {
  run({
      Out("pwd", "/"),
      Out("pwd extra words", "/"),
      Out("mkdir d"),
      Out("cd d"),
      Out("pwd", "/d"),
      Out("mkdir e"),
      Out("cd e"),
      Out("pwd", "/d/e"),
      Out("cd .."),
      Out("pwd", "/d"),
      Out("cd /"),
      Out("pwd", "/"),
  });
}

TEST_F(TerminalTest, TargetResolution) {
  run({Out("mkdir a"), Out("mkdir a/b"), Out("touch f"), Out("cd a")});
  const TerminalContext& ctx = term_.context();
  const InodeId a = std::stoull(id_of("/a"));
  const InodeId b = std::stoull(id_of("/a/b"));
  const InodeId f = std::stoull(id_of("/f"));
  struct Case {
    const char* path;
    InodeId id;
  };
  for (const Case& c : {Case{"", a}, Case{".", a}, Case{"..", 0}, Case{"b", b}, Case{"/", 0}, Case{"/.", 0},
                        Case{"/..", 0}, Case{"/a", a}, Case{"/f", f}}) {
    auto r = ctx.get_target_inode(c.path);
    ASSERT_TRUE(r.has_value()) << c.path << ": " << r.error();
    EXPECT_EQ(*r, c.id) << c.path;
  }
  // The rest after a leading "/" is one name: never split, never deeper.
  struct Failure {
    const char* path;
    const char* text;
  };
  for (const Failure& c : {Failure{"/a/b", "a/b: Inode not found"}, Failure{"b/..", "b/..: Inode not found"},
                           Failure{"f", "f: Inode not found"}, Failure{"/nope/x", "nope/x: Inode not found"},
                           Failure{"a\\b", "a\\b: Inode not found"},
                           Failure{"/f/x", "f/x: Inode not found"}}) {
    auto r = ctx.get_target_inode(c.path);
    ASSERT_FALSE(r.has_value()) << c.path;
    EXPECT_EQ(r.error(), c.text);
  }
  EXPECT_EQ(ctx.cwd, a);
}

TEST_F(TerminalTest, TerminalsOverOneFileSystemKeepTheirOwnDirectory) {
  SimpleTerminal other(fs_);
  run({Out("mkdir d"), Out("cd d"), Out("touch f")});
  testing::run_script(other, {Out("pwd", "/"), Out("ls", "d/\n"), Out("ls d", "f\n"), Out("cd d"), Out("rm f")});
  run({Out("pwd", "/d"), Out("ls", "")});
  // Changes through the file system are visible to the terminal, and back.
  ASSERT_TRUE(fs_->touch("/d/g").has_value());
  run({Out("ls", "g\n"), Out("mkdir h")});
  auto listing = fs_->ls_raw(other.context().cwd);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->directories, std::vector<std::string>{"h"});
}

TEST_F(TerminalTest, StaleWorkingDirectory) {
  run({Out("mkdir d"), Out("cd d")});
  const std::string n = id_of("/d");
  ASSERT_TRUE(fs_->rm("/d", false).has_value());
  run({
      Err("pwd", "pwd: cannot access '" + n + "': Inode not found"),
      Err("ls", "ls: cannot access '" + n + "': Inode not found"),
      Err("ls .", ".: Inode not found"),
      Err("mkdir x", "mkdir: cannot access '" + n + "': Inode not found"),
      Err("touch x", "touch: cannot access '" + n + "': Inode not found"),
      Err("cat x", "x: Inode not found"),
      Err("cd x", "cd: cannot access 'x': x: Inode not found"),
      // A failed cd keeps the stale directory; an absolute one leaves it.
      Err("pwd", "pwd: cannot access '" + n + "': Inode not found"),
      Out("ls /", ""),
      Out("cd /"),
      Out("pwd", "/"),
  });
}

// Terminals on several threads over one file system, each in its own
// directory; also the first use of the command table may race here.
TEST(TerminalThreads, ConcurrentTerminalsOnOneFileSystem) {
  auto fs = FileSystem::create();
  constexpr int kThreads = 4;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&fs, &failures, t] {
      SimpleTerminal term(fs);
      const std::string dir = "t" + std::to_string(t);
      auto check = [&](const std::string& line, const std::string& want) {
        auto r = term.run(line);
        if (!r || *r != want) failures[t] += line + " -> " + (r ? *r : r.error()) + "\n";
      };
      check("mkdir " + dir, "");
      check("cd " + dir, "");
      for (int i = 0; i < 50; ++i) {
        const std::string f = "f" + std::to_string(i);
        check("touch " + f, "");
        check("cat " + f, "");
        check("ls", f + "\n");
        check("rm " + f, "");
      }
      check("pwd", "/" + dir);
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");
  auto listing = fs->ls_raw(0);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->directories.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace ferrowick
