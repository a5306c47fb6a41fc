#include "pool/home_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace ferrowick {

namespace {

// The home itself. Its ancestors belong to root (home_dir.h), so opening it
// by path cannot be led astray; O_NOFOLLOW refuses a home that is a link.
TransferResult<UniqueFd> open_home(std::string_view home, dev_t& dev) {
  const std::string path(home);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return Unexpected(TransferError::host(errno, path));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Unexpected(TransferError::host(errno, path));
  dev = st.st_dev;
  return fd;
}

// Descends from the home along `rel` one directory at a time, creating
// what is missing when `create` says so. "/" and "" parts and "." are
// skipped; ".." could lead out of the home and is refused.
TransferResult<UniqueFd> descend(UniqueFd fd, std::string_view rel, const HostWriteOptions* create, dev_t dev,
                                 std::string& path) {
  std::size_t i = 0;
  while (i < rel.size()) {
    std::size_t j = rel.find('/', i);
    if (j == std::string_view::npos) j = rel.size();
    const std::string_view name = rel.substr(i, j - i);
    i = j + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..")
      return Unexpected(TransferError::refused("a path inside the home may not hold \"..\": " + std::string(rel)));
    auto next = open_host_directory(fd.get(), name, create, &dev, path);
    if (!next) return Unexpected(next.error());
    fd = std::move(*next);
    path = host_join(path, name);
  }
  return fd;
}

}  // namespace

TransferResult<std::uint64_t> put_into_home(const FileSystem& fs, std::string_view src, std::string_view home,
                                            uid_t uid, std::string_view dest) {
  auto id = fs.get_inode_by_path_raw(src);
  if (!id) return Unexpected(TransferError::fs(id.error()));
  auto is_dir = fs.is_directory_raw(*id);
  if (!is_dir) return Unexpected(TransferError::fs(is_dir.error()));
  if (!*is_dir) return Unexpected(TransferError::fs(IoError::Kind::NotADirectory));

  dev_t dev = 0;
  auto home_fd = open_home(home, dev);
  if (!home_fd) return Unexpected(home_fd.error());
  HostWriteOptions options;
  options.owner = uid;
  options.replace = true;
  options.same_device = true;
  std::string path(home);
  auto target = descend(std::move(*home_fd), dest, &options, dev, path);
  if (!target) return Unexpected(target.error());
  // One consistent tree, whatever other threads do to `fs`; contents are
  // shared with it, not copied.
  auto snapshot = fs.clone();
  return write_host_tree(*snapshot, *id, target->get(), options, std::move(path));
}

TransferResult<std::shared_ptr<FileSystem>> get_from_home(std::string_view home, uid_t uid, std::string_view src,
                                                          std::uint64_t max_bytes) {
  dev_t dev = 0;
  auto home_fd = open_home(home, dev);
  if (!home_fd) return Unexpected(home_fd.error());
  std::string path(home);
  auto from = descend(std::move(*home_fd), src, nullptr, dev, path);
  if (!from) return Unexpected(from.error());
  auto fs = FileSystem::create();
  HostReadOptions options;
  options.max_bytes = max_bytes;
  options.same_device = true;
  options.owner = uid;
  auto copied = read_host_tree(*fs, from->get(), kRootId, options, std::move(path));
  if (!copied) return Unexpected(copied.error());
  return fs;
}

}  // namespace ferrowick
