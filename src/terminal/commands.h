// The nine built-in commands of the terminal.
//
// Each takes the terminal's context and the words after the command name
// and returns output text or error text. Handlers keep no state; only cd
// changes the context (cwd, and only on success).
//
// In the error texts ARG is the first argument word as typed and N an inode
// identifier in decimal. Path arguments go through get_target_inode; when
// that fails its own text is returned unchanged (cd wraps it).
//
//   help   the command names, one per line, in table order
//   echo   the words joined by single blanks, no newline
//   pwd    the path of cwd, or "pwd: cannot access 'N': <error>"
//   cd     "cd: missing argument", "cd: cannot access 'ARG': <text>",
//          "cd: ARG: Not a directory"
//   ls     file names then "dir/" names, one per line (cwd without ARG);
//          "ls: cannot access 'N': <error>", "ls: N: Not a directory"
//   cat    the file's bytes as text, ill-formed UTF-8 shown as U+FFFD;
//          "cat: missing argument", "cat: cannot access 'ARG': <error>",
//          "cat: ARG: Is a directory". The handle it opens is always closed
//          before it returns; a failing close panics.
//   mkdir, touch
//          create an empty directory / file. The parent is the part of ARG
//          before its last "/" or "\" (cwd without one, the root when that
//          separator is ARG's first character); the name is what follows.
//          "<cmd>: missing argument", "<cmd>: cannot access 'N': <error>",
//          "<cmd>: N: Not a directory", and "mkdir: cannot create directory
//          'ARG': <error>" / "touch: cannot create file 'ARG': <error>".
//   rm     options parsed by parse_rm_args (rm_args.h); its texts come back
//          as "rm: " + text. "rm: missing argument" without any word,
//          "rm: cannot remove 'TARGET': <error>" when removal fails.
#pragma once

#include <span>
#include <string>

#include "terminal/simple_terminal.h"

namespace ferrowick {

CommandResult cmd_help(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_echo(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string> args);
CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string> args);

}  // namespace ferrowick
