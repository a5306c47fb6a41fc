#include "pool/child_confinement.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ferrowick {

namespace {

// Descriptors the child opened; closed on every way out.
class ChildFds {
 public:
  ChildFds() = default;
  ChildFds(const ChildFds&) = delete;
  ChildFds& operator=(const ChildFds&) = delete;
  ~ChildFds() {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  // Keeps `fd` (may be -1) for closing and returns it; more than this
  // child ever opens is refused.
  int keep(int fd) {
    if (fd < 0) return fd;
    if (count_ < kMax) return fds_[count_++] = fd;
    ::close(fd);
    errno = EMFILE;
    return -1;
  }

 private:
  static constexpr int kMax = 16;
  int fds_[kMax] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
  int count_ = 0;
};

// "/proc/self/fd/<fd>": mounting through it acts on exactly the directory
// the descriptor holds, whatever its path has become since.
struct FdPath {
  char text[32];
  explicit FdPath(int fd) {
    static constexpr char kPrefix[] = "/proc/self/fd/";
    std::size_t n = 0;
    for (; kPrefix[n]; ++n) text[n] = kPrefix[n];
    char digits[12];
    std::size_t d = 0;
    unsigned v = static_cast<unsigned>(fd);
    do {
      digits[d++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (d) text[n++] = digits[--d];
    text[n] = '\0';
  }
};

// Opens directory `name` in `dirfd` without following a link; with
// `root_only`, it must be root's and writable by nobody else, or (when it
// is the sticky, world-writable top of a private copy) at least root's.
// Returns the descriptor, or -1 with errno set.
int open_dir_at(ChildFds& fds, int dirfd, const char* name, bool root_only) {
  int fd = fds.keep(::openat(dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd < 0 || !root_only) return fd;
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  const bool sticky_top = (st.st_mode & S_ISVTX) != 0;
  if (st.st_uid != 0 || (!sticky_top && (st.st_mode & 022) != 0)) {
    errno = EPERM;
    return -1;
  }
  return fd;
}

int open_place(ChildFds& fds, const char* place) {
  return fds.keep(::open(place, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

int bind(int from, int to_fd) {
  const FdPath source(from), target(to_fd);
  return ::mount(source.text, target.text, nullptr, MS_BIND, nullptr) == 0 ? 0 : errno;
}

// Opens every private copy and the home first, since binding over /tmp
// hides the paths to them, then binds each over its place and the home
// back at its path inside the private /tmp.
int bind_private_places(const ChildConfinement& c, ChildFds& fds) {
  int copy[kPrivatePlaceCount], target[kPrivatePlaceCount];
  for (std::size_t i = 0; i < kPrivatePlaceCount; ++i) {
    copy[i] = target[i] = -1;
    if (!c.backed[i]) continue;
    int place = target[i] = open_place(fds, kPrivatePlaces[i]);
    int dir = place < 0 ? -1 : open_dir_at(fds, place, kPrivateDirName, true);
    copy[i] = dir < 0 ? -1 : open_dir_at(fds, dir, c.account, true);
    if (copy[i] < 0) return errno;
  }
  int home = -1;
  const bool home_inside = c.home_leaf && c.backed[0];
  if (home_inside) {
    int root = open_dir_at(fds, target[0], c.home_leaf, true);
    home = root < 0 ? -1 : open_dir_at(fds, root, c.account, false);
    if (home < 0) return errno;
  }
  for (std::size_t i = 0; i < kPrivatePlaceCount; ++i) {
    if (copy[i] < 0) continue;
    if (int e = bind(copy[i], target[i])) return e;
  }
  if (home_inside) {
    // The mount points were made by root before any tenant process ran, in
    // a directory only root may change.
    int tmp = open_place(fds, kPrivatePlaces[0]);
    int root = tmp < 0 ? -1 : open_dir_at(fds, tmp, c.home_leaf, true);
    int point = root < 0 ? -1 : open_dir_at(fds, root, c.account, true);
    if (point < 0) return errno;
    if (int e = bind(home, point)) return e;
  }
  return 0;
}

int mount_hidden_proc() {
  constexpr unsigned long kFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
  if (::mount("proc", "/proc", "proc", kFlags, "hidepid=invisible") == 0) return 0;
  if (errno != EINVAL) return errno;
  return ::mount("proc", "/proc", "proc", kFlags, "hidepid=2") == 0 ? 0 : errno;
}

}  // namespace

int enter_confinement(const ChildConfinement& c) noexcept {
  if (c.netns_fd >= 0 && ::setns(c.netns_fd, CLONE_NEWNET) != 0) return errno;
  if (c.account || c.hide_processes) {
    if (::unshare(CLONE_NEWNS) != 0) return errno;
    if (::mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) return errno;
    if (c.account) {
      ChildFds fds;
      if (int e = bind_private_places(c, fds)) return e;
    }
    if (c.hide_processes) {
      if (int e = mount_hidden_proc()) return e;
    }
  }
  if (c.no_new_privs && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  return 0;
}

}  // namespace ferrowick
