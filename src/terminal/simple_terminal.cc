#include "terminal/simple_terminal.h"

#include <utility>

#include "terminal/commands.h"
#include "terminal/word_split.h"

namespace ferrowick {

Expected<InodeId, std::string> TerminalContext::get_target_inode(std::string_view path) const {
  InodeId start = cwd;
  if (!path.empty() && path.front() == '/') {
    path.remove_prefix(1);
    start = kRootId;
  }
  auto id = fs->find_inode_by_name(start, path);
  if (id) return *id;
  std::string text(path);
  text += ": ";
  id.error().append_message(text);
  return Unexpected(std::move(text));
}

const CommandTable& commands() {
  // A function-local static: built by the first caller, others wait for it.
  static const CommandTable COMMANDS = {
      {"cd", cmd_cd},       {"ls", cmd_ls},     {"pwd", cmd_pwd},
      {"cat", cmd_cat},     {"mkdir", cmd_mkdir}, {"touch", cmd_touch},
      {"help", cmd_help},   {"rm", cmd_rm},     {"echo", cmd_echo},
  };
  return COMMANDS;
}

SimpleTerminal::SimpleTerminal(std::shared_ptr<FileSystem> fs) : ctx_{std::move(fs), kRootId} {}

CommandResult SimpleTerminal::run(std::string_view line) {
  auto words = word_split(line);
  if (!words) return Unexpected(std::string("The command was not correctly formatted"));
  if (words->empty()) return std::string();
  const CommandTable& table = commands();
  const auto it = table.find(words->front());
  if (it == table.end()) return Unexpected(std::move(words->front()) + ": command not found");
  return it->second(ctx_, std::span<const std::string>(*words).subspan(1));
}

}  // namespace ferrowick
