#include "pool/home_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "pool/host_process.h"

namespace ferrowick {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool is_dot_or_dotdot(const char* n) {
  return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// The entries of an open directory, read in full before anything is removed
// so that removal cannot disturb the listing.
int list_entries(DIR* d, std::vector<std::pair<std::string, unsigned char>>& out) {
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) return errno;
    if (is_dot_or_dotdot(e->d_name)) continue;
    out.emplace_back(e->d_name, e->d_type);
  }
}

}  // namespace

int remove_tree_at(int dirfd, const char* name) {
  if (is_dot_or_dotdot(name)) return EINVAL;
  int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? ENOTDIR : errno;
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
  if (!dir) {
    int e = errno;
    ::close(fd);
    return e;
  }
  std::vector<std::pair<std::string, unsigned char>> entries;
  if (int e = list_entries(dir.get(), entries)) return e;
  for (const auto& [entry, type] : entries) {
    bool is_dir = type == DT_DIR;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
      is_dir = S_ISDIR(st.st_mode);
    }
    int rc = is_dir ? remove_tree_at(fd, entry.c_str())
                    : (::unlinkat(fd, entry.c_str(), 0) == 0 ? 0 : errno);
    if (rc != 0) return rc;
  }
  dir.reset();
  return ::unlinkat(dirfd, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

Expected<std::string, std::string> prepare_home_in(std::string_view root,
                                                   std::string_view username,
                                                   std::uint32_t uid) {
  std::string home(root);
  home += '/';
  home += username;
  const std::filesystem::path home_path(home);
  const std::filesystem::path parent = home_path.parent_path();
  if (parent.empty()) return Unexpected(std::string("Failed to get the parent folder of the path"));
  const std::string leaf = home_path.filename().string();

  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  UniqueFd parent_fd;
  if (!ec) parent_fd.reset(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (ec || !parent_fd.valid()) {
    return Unexpected(std::string("Failed to create the parent folder of the temporary home directory"));
  }

  // An old home is removed only if it exists with links followed; a dangling
  // link therefore stays and makes the creation below fail.
  struct stat st;
  if (::fstatat(parent_fd.get(), leaf.c_str(), &st, 0) == 0) {
    int rc = ::fstatat(parent_fd.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
             : S_ISLNK(st.st_mode) ? (::unlinkat(parent_fd.get(), leaf.c_str(), 0) == 0 ? 0 : errno)
                                   : remove_tree_at(parent_fd.get(), leaf.c_str());
    if (rc != 0) return Unexpected(std::string("Failed to remove the existing temporary home directory"));
  }

  if (::mkdirat(parent_fd.get(), leaf.c_str(), 0777) != 0) {
    return Unexpected(std::string("Failed to create the temporary home directory"));
  }

  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(home.c_str(), nullptr), &std::free);
  if (!resolved) return Unexpected("Failed to canonicalize the path: " + system_error_text(errno));
  std::string canonical(resolved.get());
  if (!is_valid_utf8(canonical)) {
    return Unexpected(std::string("Failed to convert the path to a valid utf-8 string"));
  }

  // Owner and group change through a descriptor of the directory made above,
  // so a link swapped in meanwhile cannot redirect them.
  UniqueFd home_fd(::openat(parent_fd.get(), leaf.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!home_fd.valid() || ::fchown(home_fd.get(), uid, uid) != 0) {
    return Unexpected("Failed to change the ownership of the home directory: " +
                      system_error_text(errno));
  }
  return canonical;
}

}  // namespace ferrowick
