// PyFs.copy_in and PyFs.copy_out over the walks of host_tree.cc.
#include "fs/host_copy.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fs/file_system.h"

namespace ferrowick {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

TransferResult<InodeId> make_directories(FileSystem& fs, std::string_view path, std::optional<InodeId>& created) {
  auto current = fs.get_inode_raw(kRootId);
  if (!current) return Unexpected(TransferError::fs(current.error()));
  InodeId dir = *current;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = i;
    while (j < path.size() && !is_separator(path[j])) ++j;
    const std::string_view name = path.substr(i, j - i);
    i = j + 1;
    if (name.empty() || name == ".") continue;
    auto found = fs.find_inode_by_name(dir, name);
    if (found) found = fs.get_inode_raw(*found);
    if (found) {
      auto is_dir = fs.is_directory_raw(*found);
      if (!is_dir) return Unexpected(TransferError::fs(is_dir.error()));
      if (!*is_dir) return Unexpected(TransferError::fs(IoError::Kind::NotADirectory));
      dir = *found;
      continue;
    }
    if (found.error().kind() != IoError::Kind::InodeNotFound) return Unexpected(TransferError::fs(found.error()));
    auto made = fs.create_inode(dir, name, Directory{});
    if (!made) return Unexpected(TransferError::fs(made.error()));
    if (!created) created = *made;
    dir = *made;
  }
  return dir;
}

TransferResult<std::uint64_t> copy_in(FileSystem& fs, std::string_view host_path, std::string_view dest) {
  const std::string path(host_path);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Unexpected(TransferError::host(errno, path));
  std::optional<InodeId> created;
  auto dir = make_directories(fs, dest, created);
  TransferResult<std::uint64_t> copied = dir ? read_host_tree(fs, fd.get(), *dir, {}, path)
                                             : TransferResult<std::uint64_t>(Unexpected(dir.error()));
  // What this call made goes again; a failure to remove it (a handle opened
  // on a new file meanwhile) leaves it, and the first failure is reported.
  if (!copied && created) (void)fs.rm_raw(*created, true);
  return copied;
}

TransferResult<std::uint64_t> copy_out(const FileSystem& fs, std::string_view src, std::string_view host_path) {
  auto id = fs.get_inode_by_path_raw(src);
  if (!id) return Unexpected(TransferError::fs(id.error()));
  auto is_dir = fs.is_directory_raw(*id);
  if (!is_dir) return Unexpected(TransferError::fs(is_dir.error()));
  if (!*is_dir) return Unexpected(TransferError::fs(IoError::Kind::NotADirectory));

  const std::string path(host_path);
  bool made = ::mkdir(path.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) return Unexpected(TransferError::host(errno, path));
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Unexpected(TransferError::host(errno, path));
  if (!made) {
    auto empty = host_directory_empty(fd.get(), path);
    if (!empty) return Unexpected(empty.error());
    if (!*empty) return Unexpected(TransferError::host(EEXIST, path));
  }
  // A clone is one consistent tree to walk, whatever other threads do to
  // this one meanwhile, and costs no copy of file contents.
  auto snapshot = fs.clone();
  return write_host_tree(*snapshot, *id, fd.get(), {}, path);
}

}  // namespace ferrowick
