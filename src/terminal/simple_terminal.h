// SimpleTerminal: the command interpreter over one FileSystem.
//
// run() splits a line into words (word_split.h), looks the first word up in
// the process-wide command table and calls that command's handler with the
// terminal's context and the remaining words. The only state is the
// TerminalContext: the shared FileSystem and the current directory.
//
// Not synchronised: the owner serialises calls on one terminal. Several
// terminals may work on one FileSystem at once; it locks for itself.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/expected.h"
#include "fs/file_system.h"
#include "terminal/terminal.h"

namespace ferrowick {

struct TerminalContext {
  std::shared_ptr<FileSystem> fs;
  // The current directory, kept as an identifier: if that inode goes away
  // the identifier goes stale and commands that use it report the error.
  InodeId cwd = 0;

  // Resolves a path typed by the user. A leading "/" is dropped and the rest
  // is looked up from the root; otherwise from cwd. The rest is one name,
  // never split: "", "." and ".." work as usual, anything else must be a
  // direct child. On failure: the rest + ": " + the IoError message.
  Expected<InodeId, std::string> get_target_inode(std::string_view path) const;
};

// A built-in command: the context (cd changes cwd) and the words after the
// command name.
using CommandHandler = CommandResult (*)(TerminalContext& ctx, std::span<const std::string> args);
using CommandTable = std::unordered_map<std::string_view, CommandHandler>;

// The table of the nine built-in commands, built on first use (thread-safe)
// and never changed afterwards.
const CommandTable& commands();

class SimpleTerminal final : public Terminal {
 public:
  // Starts in the root directory.
  explicit SimpleTerminal(std::shared_ptr<FileSystem> fs);

  // Malformed line: "The command was not correctly formatted". No words:
  // empty output. Unknown first word W: W + ": command not found".
  // Otherwise the handler's result, unchanged.
  CommandResult run(std::string_view line) override;

  const TerminalContext& context() const { return ctx_; }

 private:
  TerminalContext ctx_;
};

}  // namespace ferrowick
