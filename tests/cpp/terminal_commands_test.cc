#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "fs/file_handle.h"
#include "terminal_test_util.h"

namespace ferrowick {
namespace {

using testing::Err;
using testing::Out;

constexpr const char* kHelp =
    "rm: Remove a file or a directory (potentially recursive)\n\nUsage: ferrowick [OPTIONS] <TARGET>\n\n"
    "Arguments:\n  <TARGET>\n\nOptions:\n  -r, --recursive\n  -h, --help       Print help\n"
    "  -V, --version    Print version\n";

class CommandsTest : public testing::TerminalTest {
 protected:
  void write_file(const std::string& path, std::string_view bytes) {
    auto h = FileSystem::open(fs_, path, FileHandleType::WRITE, true);
    ASSERT_TRUE(h.has_value()) << h.error().message();
    auto n = h->write(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(n.has_value());
    ASSERT_TRUE(h->close().has_value());
  }
  std::int32_t lock_flag(const std::string& path) {
    auto id = fs_->get_inode_by_path_raw(path);
    if (!id) return -100;
    INodeRef node = fs_->lookup(*id);
    auto guard = node->data.read();
    return std::get<File>(*guard).lock.flag.load();
  }
};

TEST_F(CommandsTest, Cd) {
  run({
      Out("mkdir a"),
      Out("mkdir a/b"),
      Out("touch f"),
      Err("cd", "cd: missing argument"),
      Err("cd /nope", "cd: cannot access '/nope': nope: Inode not found"),
      Err("cd a/b", "cd: cannot access 'a/b': a/b: Inode not found"),
      Err("cd f", "cd: f: Not a directory"),
      Err("cd /f", "cd: /f: Not a directory"),
      Out("cd .."),
      Out("pwd", "/"),
      Out("cd a"),
      Out("cd b"),
      Out("pwd", "/a/b"),
      Err("cd f", "cd: cannot access 'f': f: Inode not found"),  // relative to cwd
      Out("pwd", "/a/b"),                                        // unchanged by failures
      Out("cd /a"),
      Out("pwd", "/a"),
      Out("cd / ignored"),
      Out("pwd", "/"),
  });
}

TEST_F(CommandsTest, Ls) {
  run({Out("ls", ""), Out("touch a"), Out("mkdir d"), Out("touch b"), Out("mkdir e")});
  run({
      Out("ls", "a\nb\nd/\ne/\n"),
      Out("ls /", "a\nb\nd/\ne/\n"),
      Out("ls d", ""),
      Out("ls . extra", "a\nb\nd/\ne/\n"),
      Err("ls nope", "nope: Inode not found"),
      Err("ls /nope/x", "nope/x: Inode not found"),
      Err("ls a", "ls: " + id_of("/a") + ": Not a directory"),
      Out("cd d"),
      Out("ls ..", "a\nb\nd/\ne/\n"),
  });
}

TEST_F(CommandsTest, CatContents) {
  write_file("/hi", "hi\n");
  write_file("/bad", "a\xFF" "b\xE2\x82" "c");
  write_file("/utf", "\xE2\x82\xAC \xF0\x9F\x98\x80");
  std::string big(100000, 'x');
  big[5000] = '\n';
  write_file("/big", big);
  run({
      Out("touch empty"),
      Out("cat empty", ""),
      Out("cat hi", "hi\n"),
      Out("cat /hi more words", "hi\n"),
      Out("cat bad", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c"),
      Out("cat utf", "\xE2\x82\xAC \xF0\x9F\x98\x80"),
      Out("cat big", big),
  });
}

TEST_F(CommandsTest, CatErrors) {
  run({Out("mkdir d"), Out("touch f")});
  run({
      Err("cat", "cat: missing argument"),
      Err("cat nope", "nope: Inode not found"),
      Err("cat /d/f", "d/f: Inode not found"),
      Err("cat d", "cat: d: Is a directory"),
      Err("cat /", "cat: /: Is a directory"),
      Err("cat .", "cat: .: Is a directory"),
  });
  // A file held open for writing cannot be read.
  auto writer = FileSystem::open(fs_, "/f", FileHandleType::WRITE, false);
  ASSERT_TRUE(writer.has_value());
  run({Err("cat f", "cat: cannot access 'f': Resource is currently in use")});
  EXPECT_EQ(lock_flag("/f"), FileLock::WRITE_EXCLUSIVE);
  ASSERT_TRUE(writer->close().has_value());
  run({Out("cat f", "")});
}

TEST_F(CommandsTest, CatReleasesItsReadLock) {
  write_file("/f", "data");
  run({Out("cat f", "data"), Out("cat f", "data")});
  EXPECT_EQ(lock_flag("/f"), 0);
  // Alongside another reader it takes and gives back one share.
  auto reader = FileSystem::open(fs_, "/f", FileHandleType::READ, false);
  ASSERT_TRUE(reader.has_value());
  run({Out("cat f", "data")});
  EXPECT_EQ(lock_flag("/f"), 1);
  ASSERT_TRUE(reader->close().has_value());
  // Nothing left open: the file can be written and removed.
  EXPECT_TRUE(FileSystem::open(fs_, "/f", FileHandleType::WRITE, false).has_value());
  run({Out("rm f"), Out("ls", "")});
}

TEST_F(CommandsTest, MkdirAndTouch) {
  run({Out("mkdir a"), Out("touch f")});
  run({
      Err("mkdir", "mkdir: missing argument"),
      Err("touch", "touch: missing argument"),
      Err("mkdir a", "mkdir: cannot create directory 'a': Resource already exists"),
      Err("mkdir a/", "mkdir: cannot create directory 'a/': Resource already exists"),
      Err("mkdir .", "mkdir: cannot create directory '.': Resource already exists"),
      Err("mkdir ''", "mkdir: cannot create directory '': Resource already exists"),
      Err("touch f", "touch: cannot create file 'f': Resource already exists"),
      Err("touch a", "touch: cannot create file 'a': Resource already exists"),
      Err("mkdir nope/y", "nope: Inode not found"),
      Err("touch /nope/y", "nope: Inode not found"),
      Err("mkdir a/b/c", "a/b: Inode not found"),
      Err("mkdir f/y", "mkdir: " + id_of("/f") + ": Not a directory"),
      Err("touch 'f\\y'", "touch: " + id_of("/f") + ": Not a directory"),
      Out("mkdir 'a\\y'"),
      Out("touch a/g"),
      Out("mkdir x\\y"),  // typed bare, the backslash only escapes: "xy"
      Out("ls", "f\na/\nxy/\n"),
      Out("ls a", "g\ny/\n"),
      // With cwd elsewhere: a leading "/" is the root, "//" too.
      Out("cd a"),
      Out("mkdir /r"),
      Out("touch //s"),
      Out("mkdir ../t"),
      Out("touch y/z"),
      Out("ls y", "z\n"),
      Out("ls /", "f\ns\na/\nxy/\nr/\nt/\n"),
  });
}

TEST_F(CommandsTest, MkdirStopsAtTheDepthLimit) {
  for (std::size_t depth = 1; depth <= kMaxDepth; ++depth) run({Out("mkdir d"), Out("cd d")});
  run({
      Err("mkdir d", "mkdir: cannot create directory 'd': Maximum filesystem depth exceeded"),
      Err("touch f", "touch: cannot create file 'f': Maximum filesystem depth exceeded"),
      Out("ls", ""),
  });
}

TEST_F(CommandsTest, Rm) {
  run({Out("touch f"), Out("mkdir d"), Out("touch d/x"), Out("touch ./-x")});
  run({
      Err("rm", "rm: missing argument"),
      Err("rm nope", "nope: Inode not found"),
      Err("rm d", "rm: cannot remove 'd': Directory is not empty"),
      Err("rm /d", "rm: cannot remove '/d': Directory is not empty"),
      Out("rm -- -x"),
      Out("rm f"),
      Err("rm f", "f: Inode not found"),
      Out("rm -r d"),
      Out("ls", ""),
  });
}

// The parser's cases are in terminal_rm_args_test.cc; here, what rm does
// with each kind of outcome: a recursive removal, or the text after "rm: ".
TEST_F(CommandsTest, RmOptions) {
  run({Out("mkdir d"), Out("touch d/x"), Out("mkdir e"), Out("touch e/x")});
  run({
      Out("rm d --recursive"),
      Out("rm --recursive e"),
      Out("ls", ""),
      Err("rm --version", "rm: ferrowick 0.1.3\n"),
      Err("rm -h", kHelp),
      Err("rm -x",
          "rm: error: unexpected argument '-x' found\n\nUsage: ferrowick [OPTIONS] <TARGET>\n\n"
          "For more information, try '--help'.\n"),
  });
}

TEST_F(CommandsTest, RmOfAnOpenFileFails) {
  run({Out("mkdir d"), Out("touch d/a"), Out("touch d/b"), Out("touch d/c")});
  auto reader = FileSystem::open(fs_, "/d/b", FileHandleType::READ, false);
  ASSERT_TRUE(reader.has_value());
  run({
      Out("cd d"),
      Err("rm b", "rm: cannot remove 'b': Resource is currently in use"),
      Err("rm -r /d", "rm: cannot remove '/d': Resource is currently in use"),
      Out("ls", "b\nc\n"),  // a went first, b and what follows it stay
  });
  ASSERT_TRUE(reader->close().has_value());
  run({Out("rm b"), Out("ls", "c\n")});
}

}  // namespace
}  // namespace ferrowick
