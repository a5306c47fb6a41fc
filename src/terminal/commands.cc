#include "terminal/commands.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "common/panic.h"
#include "fs/file_handle.h"
#include "terminal/rm_args.h"
#include "common/utf8.h"

namespace ferrowick {

namespace {

// The concatenation of `parts` as an error text.
template <class... Parts>
Unexpected<std::string> error_text(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return Unexpected(std::move(out));
}

// "<cmd>: cannot access '<what>': <text>"
Unexpected<std::string> cannot_access(std::string_view cmd, std::string_view what, std::string_view text) {
  return error_text(cmd, ": cannot access '", what, "': ", text);
}

Unexpected<std::string> cannot_access(std::string_view cmd, std::string_view what, const IoError& e) {
  return cannot_access(cmd, what, e.message());
}

Unexpected<std::string> cannot_access(std::string_view cmd, InodeId id, const IoError& e) {
  return cannot_access(cmd, std::to_string(id), e.message());
}

// "<cmd>: <what>: <reason>"
Unexpected<std::string> failure(std::string_view cmd, std::string_view what, std::string_view reason) {
  return error_text(cmd, ": ", what, ": ", reason);
}

Unexpected<std::string> missing_argument(std::string_view cmd) {
  return Unexpected(std::string(cmd) + ": missing argument");
}

// Reads the whole file behind a freshly opened handle, copying it once.
Expected<std::string, IoError> read_all(FileHandle& handle) {
  std::string buffer;
  auto n = handle.read_rest(buffer);
  if (!n) return Unexpected(n.error());
  return buffer;
}

// The shared body of mkdir and touch; `noun` names the kind in the
// creation error ("directory" or "file").
CommandResult create_entry(TerminalContext& ctx, std::span<const std::string> args, std::string_view cmd,
                           std::string_view noun, INodeKind kind) {
  if (args.empty()) return missing_argument(cmd);
  const std::string& arg = args[0];
  InodeId parent = ctx.cwd;
  std::string_view name = arg;
  const std::size_t sep = arg.find_last_of("/\\");
  if (sep != std::string::npos) {
    name = std::string_view(arg).substr(sep + 1);
    if (sep == 0) {
      parent = kRootId;
    } else {
      auto resolved = ctx.get_target_inode(std::string_view(arg).substr(0, sep));
      if (!resolved) return Unexpected(std::move(resolved).error());
      parent = *resolved;
    }
  }
  auto is_dir = ctx.fs->is_directory_raw(parent);
  if (!is_dir) return cannot_access(cmd, parent, is_dir.error());
  if (!*is_dir) return failure(cmd, std::to_string(parent), "Not a directory");
  auto created = ctx.fs->create_inode(parent, name, std::move(kind));
  if (!created) return error_text(cmd, ": cannot create ", noun, " '", arg, "': ", created.error().message());
  return std::string();
}

}  // namespace

CommandResult cmd_help(TerminalContext&, std::span<const std::string>) {
  std::string out;
  for (const auto& entry : commands()) {
    out += entry.first;
    out += '\n';
  }
  return out;
}

CommandResult cmd_echo(TerminalContext&, std::span<const std::string> args) {
  std::size_t size = args.size();
  for (const std::string& a : args) size += a.size();
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) out += ' ';
    out += args[i];
  }
  return out;
}

CommandResult cmd_pwd(TerminalContext& ctx, std::span<const std::string>) {
  auto path = ctx.fs->get_path_by_inode(ctx.cwd);
  if (!path) return cannot_access("pwd", ctx.cwd, path.error());
  return std::move(*path);
}

CommandResult cmd_cd(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return missing_argument("cd");
  const std::string& arg = args[0];
  auto target = ctx.get_target_inode(arg);
  if (!target) return cannot_access("cd", arg, target.error());
  auto is_dir = ctx.fs->is_directory_raw(*target);
  if (!is_dir) return cannot_access("cd", arg, is_dir.error());
  if (!*is_dir) return failure("cd", arg, "Not a directory");
  ctx.cwd = *target;
  return std::string();
}

CommandResult cmd_ls(TerminalContext& ctx, std::span<const std::string> args) {
  InodeId target = ctx.cwd;
  if (!args.empty()) {
    auto resolved = ctx.get_target_inode(args[0]);
    if (!resolved) return Unexpected(std::move(resolved).error());
    target = *resolved;
  }
  auto is_dir = ctx.fs->is_directory_raw(target);
  if (!is_dir) return cannot_access("ls", target, is_dir.error());
  if (!*is_dir) return failure("ls", std::to_string(target), "Not a directory");
  auto listing = ctx.fs->ls_raw(target);
  if (!listing) return cannot_access("ls", target, listing.error());
  std::size_t size = 0;
  for (const std::string& n : listing->files) size += n.size() + 1;
  for (const std::string& n : listing->directories) size += n.size() + 2;
  std::string out;
  out.reserve(size);
  for (const std::string& n : listing->files) {
    out += n;
    out += '\n';
  }
  for (const std::string& n : listing->directories) {
    out += n;
    out += "/\n";
  }
  return out;
}

CommandResult cmd_cat(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return missing_argument("cat");
  const std::string& arg = args[0];
  auto target = ctx.get_target_inode(arg);
  if (!target) return Unexpected(std::move(target).error());
  auto is_file = ctx.fs->is_file_raw(*target);
  if (!is_file) return cannot_access("cat", arg, is_file.error());
  if (!*is_file) return failure("cat", arg, "Is a directory");
  auto handle = FileSystem::open_raw(ctx.fs, *target, FileHandleType::READ);
  if (!handle) return cannot_access("cat", arg, handle.error());
  // Should reading panic, the handle's destructor still closes it.
  auto content = read_all(*handle);
  // This handle is open and holds a read share, so closing it cannot fail
  // in a sound file system.
  if (auto closed = handle->close(); !closed) panic("cat: closing a read handle failed: " + closed.error().name());
  if (!content) return cannot_access("cat", arg, content.error());
  return decode_utf8_lossy(std::move(*content));
}

CommandResult cmd_mkdir(TerminalContext& ctx, std::span<const std::string> args) {
  return create_entry(ctx, args, "mkdir", "directory", INodeKind(std::in_place_type<Directory>));
}

CommandResult cmd_touch(TerminalContext& ctx, std::span<const std::string> args) {
  return create_entry(ctx, args, "touch", "file", INodeKind(std::in_place_type<File>));
}

CommandResult cmd_rm(TerminalContext& ctx, std::span<const std::string> args) {
  if (args.empty()) return missing_argument("rm");
  auto parsed = parse_rm_args(args);
  if (!parsed) return Unexpected("rm: " + std::move(parsed).error());
  auto target = ctx.get_target_inode(parsed->target);
  if (!target) return Unexpected(std::move(target).error());
  auto removed = ctx.fs->rm_raw(*target, parsed->recursive);
  if (!removed) return error_text("rm: cannot remove '", parsed->target, "': ", removed.error().message());
  return std::string();
}

}  // namespace ferrowick
