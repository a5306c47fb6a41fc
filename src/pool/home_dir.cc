#include "pool/home_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/system_error.h"
#include "common/utf8.h"
#include "pool/tree_sweep.h"

namespace ferrowick {

Expected<UniqueFd, std::string> open_home_root(std::string_view root) {
  const std::filesystem::path root_path{std::string(root)};
  std::error_code ec;
  if (root_path.has_parent_path()) std::filesystem::create_directories(root_path.parent_path(), ec);
  const std::string r(root);
  if (ec || (::mkdir(r.c_str(), 0755) != 0 && errno != EEXIST)) {
    return Unexpected(std::string("Failed to create the parent folder of the temporary home directory"));
  }
  UniqueFd fd(::open(r.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    struct stat lst;
    if (::lstat(r.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
      return Unexpected("The home root " + r + " is a symbolic link; refusing to use it");
    }
    return Unexpected(std::string("Failed to create the parent folder of the temporary home directory"));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    return Unexpected(std::string("Failed to create the parent folder of the temporary home directory"));
  }
  // Root in every real use; a test running as itself may own its own root.
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    return Unexpected("The home root " + r + " is owned by uid " + std::to_string(st.st_uid) +
                      ", not root; refusing to use it");
  }
  // Made under some umask, or by hand: nobody but root may add or rename
  // homes, or one tenant could plant another's.
  if ((st.st_mode & 07777) != 0755 && ::fchmod(fd.get(), 0755) != 0) {
    return Unexpected("Failed to restrict the home root " + r + ": " + system_error_text(errno));
  }
  return fd;
}

Expected<std::string, std::string> prepare_home_at(int root_fd, std::string_view root, std::string_view username,
                                                   std::uint32_t uid) {
  const std::string leaf(username);
  if (leaf.empty() || leaf.find('/') != std::string::npos || leaf == "." || leaf == "..") {
    return Unexpected(std::string("Failed to create the temporary home directory"));
  }
  // An old home is removed only if it exists with links followed; a dangling
  // link therefore stays and makes the creation below fail.
  struct stat st;
  if (::fstatat(root_fd, leaf.c_str(), &st, 0) == 0) {
    int rc = ::fstatat(root_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
             : S_ISLNK(st.st_mode) ? (::unlinkat(root_fd, leaf.c_str(), 0) == 0 ? 0 : errno)
                                   : remove_tree_at(root_fd, leaf.c_str());
    if (rc != 0) return Unexpected(std::string("Failed to remove the existing temporary home directory"));
  }

  if (::mkdirat(root_fd, leaf.c_str(), 0700) != 0) {
    return Unexpected(std::string("Failed to create the temporary home directory"));
  }
  std::string home(root);
  home += '/';
  home += leaf;
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(home.c_str(), nullptr), &std::free);
  if (!resolved) return Unexpected("Failed to canonicalize the path: " + system_error_text(errno));
  std::string canonical(resolved.get());
  if (!is_valid_utf8(canonical)) {
    return Unexpected(std::string("Failed to convert the path to a valid utf-8 string"));
  }

  // Owner, group and mode change through a descriptor of the directory made
  // above, so a link swapped in meanwhile cannot redirect them; the mode is
  // set outright because mkdir applied whatever umask the host has.
  UniqueFd home_fd(::openat(root_fd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!home_fd.valid() || ::fchown(home_fd.get(), uid, uid) != 0 || ::fchmod(home_fd.get(), 0700) != 0) {
    return Unexpected("Failed to change the ownership of the home directory: " + system_error_text(errno));
  }
  return canonical;
}

Expected<std::string, std::string> prepare_home_in(std::string_view root, std::string_view username,
                                                   std::uint32_t uid) {
  if (root.empty()) return Unexpected(std::string("Failed to get the parent folder of the path"));
  auto root_fd = open_home_root(root);
  if (!root_fd) return Unexpected(std::move(root_fd).error());
  return prepare_home_at(root_fd->get(), root, username, uid);
}

}  // namespace ferrowick
