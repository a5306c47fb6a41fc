// Sequences of command lines through SimpleTerminal::run on one shared file
// system, with the tree checked after every line.
//
// Input lines:
//   @rest         switch to the other of two terminals, then run "rest"
//   >path bytes   write "bytes" into the file at "path" (created if missing),
//                 so that cat meets real content, invalid UTF-8 included
//   anything else one command line
// Besides the tree invariants: no handle stays open after a command, a cd
// that succeeds lands on a directory, echo and unknown commands answer as
// their definitions say, and a valid UTF-8 input only ever yields valid
// UTF-8 text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/utf8.h"
#include "fs/file_handle.h"
#include "fs_invariants.h"
#include "fuzz_support.h"
#include "terminal/simple_terminal.h"
#include "terminal/word_split.h"

namespace {

using ferrowick::CommandResult;
using ferrowick::FileSystem;
using ferrowick::fuzzing::escaped;

const std::unordered_set<std::string_view> kCommands = {"cd",    "ls",    "pwd", "cat", "mkdir",
                                                        "touch", "help",  "rm",  "echo"};

void write_file(const std::shared_ptr<FileSystem>& fs, std::string_view spec) {
  const std::size_t space = spec.find(' ');
  const std::string_view path = spec.substr(0, space);
  const std::string_view bytes = space == std::string_view::npos ? std::string_view() : spec.substr(space + 1);
  auto h = FileSystem::open(fs, path, ferrowick::FileHandleType::WRITE, true);
  if (!h) return;  // not a file, a missing parent, ...: the commands see the same
  FUZZ_CHECK(h->write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}), "write " + escaped(spec));
  FUZZ_CHECK(h->close(), "close " + escaped(spec));
}

// What can be told about a result from the line alone.
void check_result(std::string_view line, const CommandResult& r, const ferrowick::TerminalContext& ctx,
                  bool valid_input) {
  const std::string& text = r ? *r : r.error();
  FUZZ_CHECK(!valid_input || ferrowick::is_valid_utf8(text), "invalid UTF-8 from " + escaped(line));
  const auto words = ferrowick::word_split(line);
  if (!words) {
    FUZZ_CHECK(!r && r.error() == "The command was not correctly formatted", "malformed " + escaped(line));
    return;
  }
  if (words->empty()) {
    FUZZ_CHECK(r && r->empty(), "empty line " + escaped(line));
    return;
  }
  const std::string& name = (*words)[0];
  if (!kCommands.contains(name)) {
    FUZZ_CHECK(!r && r.error() == name + ": command not found", "unknown command in " + escaped(line));
  } else if (name == "echo") {
    std::string joined;
    for (std::size_t i = 1; i < words->size(); ++i) joined += (i > 1 ? " " : "") + (*words)[i];
    FUZZ_CHECK(r && *r == joined, "echo " + escaped(line));
  } else if (name == "cd" && r) {
    auto is_dir = ctx.fs->is_directory_raw(ctx.cwd);
    FUZZ_CHECK(is_dir && *is_dir, "cd left cwd on a non-directory: " + escaped(line));
  } else if (name == "pwd") {
    FUZZ_CHECK(r ? r->starts_with("/") : r.error().starts_with("pwd: cannot access '"), "pwd " + escaped(line));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto fs = FileSystem::create();
  std::array<ferrowick::SimpleTerminal, 2> terms{ferrowick::SimpleTerminal(fs), ferrowick::SimpleTerminal(fs)};
  std::size_t current = 0;
  const bool valid_input = ferrowick::is_valid_utf8({reinterpret_cast<const char*>(data), size});
  for (std::string_view line : ferrowick::fuzzing::split_records(data, size, '\n')) {
    if (line.starts_with(">")) {
      write_file(fs, line.substr(1));
    } else {
      if (line.starts_with("@")) {
        current ^= 1;
        line.remove_prefix(1);
      }
      const CommandResult r = terms[current].run(line);
      check_result(line, r, terms[current].context(), valid_input);
    }
    const std::string broken = ferrowick::fscheck::check_fs_invariants(*fs, true);
    FUZZ_CHECK(broken.empty(), "after " + escaped(line) + ": " + broken);
  }
  return 0;
}
