#include "pool/tree_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/unique_fd.h"

namespace ferrowick {

namespace {

bool is_dot_or_dotdot(const char* n) {
  return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

struct Node {
  dev_t dev;
  ino_t ino;
};

bool same(const struct stat& st, const Node& n) { return st.st_dev == n.dev && st.st_ino == n.ino; }

struct Pending {
  std::string name;
  Node node;
  bool remove;         // rmdir it once it has been walked
  std::string handle;  // a file handle of it (name_to_handle_at), or empty
};

// A file handle of the directory `name` in `dirfd`, to find it again
// wherever it is moved; empty when the file system has none.
std::string handle_of(int dirfd, const char* name) {
  union {
    file_handle h;
    char room[sizeof(file_handle) + MAX_HANDLE_SZ];
  } buf;
  buf.h.handle_bytes = MAX_HANDLE_SZ;
  int mount_id = 0;
  if (::name_to_handle_at(dirfd, name, &buf.h, &mount_id, 0) != 0) return {};
  return std::string(buf.room, sizeof(file_handle) + buf.h.handle_bytes);
}

// One directory on the way down: where it is, and what is left to enter.
struct Frame {
  Node node;
  std::string name;  // in its parent
  bool remove;
  std::vector<Pending> pending;
  timespec changed{};  // the directory's mtime when it was last listed
  bool roots = false;  // owned by root: never listed again (see relist)
  int relists = 0;
};

// How often a directory of another account that changed while the walk was
// below it is listed again: what was renamed into it meanwhile is found.
constexpr int kMaxRelists = 16;

class Sweep {
 public:
  Sweep(const SweepRule& rule, dev_t dev) : rule_(rule), dev_(dev) {}

  // Lists the directory open on `fd` in full before acting on it (removal
  // must not disturb the listing), removes what goes and queues what to
  // enter in `frame`.
  // `self` is the directory's status from just before (for relist).
  void scan(int fd, Frame& frame, const struct stat& self) {
    frame.changed = self.st_mtim;
    frame.roots = self.st_uid == 0;
    int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = dup >= 0 ? ::fdopendir(dup) : nullptr;
    if (!dir) {
      if (dup >= 0) ::close(dup);
      note(errno);
      return;
    }
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(dir);
      if (!e) {
        if (errno) note(errno);
        break;
      }
      if (!is_dot_or_dotdot(e->d_name)) names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    for (std::string& name : names) {
      struct stat st;
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) note(errno);
        continue;
      }
      const bool mine = !rule_.owner || st.st_uid == *rule_.owner;
      if (mine) ++matched_;
      if (st.st_dev != dev_) {  // a mount point: never crossed
        if (mine) note(EXDEV);
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (!skipped(st)) {
          std::string handle = handle_of(fd, name.c_str());
          frame.pending.push_back({std::move(name), {st.st_dev, st.st_ino}, mine, std::move(handle)});
        }
      } else if (mine && ::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) {
        note(errno);
      }
    }
  }

  SweepOutcome run(int start_fd) {
    for (int restarts = 0;; ++restarts) {
      int e = walk(start_fd);
      if (e != ESTALE || restarts == kMaxRestarts) {
        if (e) note(e);
        return {first_error_, matched_, moved_};
      }
      ++moved_;  // this pass is not a sure one, whatever follows
    }
  }

 private:
  // One walk from the top; ESTALE when a directory moved away under it,
  // else 0 or another errno that ended it.
  int walk(int start_fd) {
    struct stat st;
    if (::fstat(start_fd, &st) != 0) return errno;
    UniqueFd fd(::fcntl(start_fd, F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) return errno;
    std::vector<Frame> frames;
    frames.push_back({{st.st_dev, st.st_ino}, "", false, {}});
    scan(fd.get(), frames.back(), st);
    while (!frames.empty()) {
      Frame& top = frames.back();
      if (!top.pending.empty()) {
        Pending next = std::move(top.pending.back());
        top.pending.pop_back();
        UniqueFd child(::openat(fd.get(), next.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat cst;
        if (!child.valid() || ::fstat(child.get(), &cst) != 0 || !same(cst, next.node)) {
          if (!child.valid() && errno != ENOENT) note(errno);
          // Gone or replaced since it was examined. Moved elsewhere, it is
          // walked where it is now, on its own: a tree kept moving about
          // cannot dodge the walk. Only one that cannot be found again
          // makes the walk unsure.
          if (in_moved_tree_ || !walk_moved(fd.get(), next)) ++moved_;
          continue;
        }
        fd = std::move(child);
        frames.push_back({next.node, std::move(next.name), next.remove, {}});
        scan(fd.get(), frames.back(), cst);
        continue;
      }
      if (relist(fd.get(), top)) continue;
      if (frames.size() == 1) break;
      // Back up one level, to the very directory we came down from.
      UniqueFd parent(::openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat pst;
      const Frame& above = frames[frames.size() - 2];
      if (!parent.valid() || ::fstat(parent.get(), &pst) != 0 || !same(pst, above.node)) {
        return ESTALE;  // the tree moved: anything further from here could act elsewhere
      }
      fd = std::move(parent);
      Frame done = std::move(frames.back());
      frames.pop_back();
      if (done.remove) remove_dir(fd.get(), done);
    }
    return 0;
  }

  // Walks the directory of `gone` (moved away from under `near`, an open
  // directory of the same file system) found through its file handle.
  // True when that is done or the directory no longer exists (removed, so
  // it was empty); false when it cannot be told.
  bool walk_moved(int near, const Pending& gone) {
    if (gone.handle.empty()) return false;
    std::string handle = gone.handle;
    UniqueFd moved(::open_by_handle_at(near, reinterpret_cast<file_handle*>(handle.data()),
                                       O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!moved.valid()) return errno == ESTALE;
    struct stat st;
    if (::fstat(moved.get(), &st) != 0 || !same(st, gone.node)) return false;
    in_moved_tree_ = true;
    const bool whole = walk(moved.get()) == 0;
    in_moved_tree_ = false;
    return whole;
  }

  // Lists `frame` (open on `fd`, its walk below done) again when it belongs
  // to another account and changed meanwhile: a tree being moved about
  // between such directories may have been in neither when each was
  // listed. Root's directories (/tmp itself) change all the time and are
  // left to the next pass. True when it was listed again.
  bool relist(int fd, Frame& frame) {
    struct stat now;
    if (frame.roots || frame.relists == kMaxRelists || ::fstat(fd, &now) != 0 || now.st_uid == 0) return false;
    if (now.st_mtim.tv_sec == frame.changed.tv_sec && now.st_mtim.tv_nsec == frame.changed.tv_nsec) return false;
    ++frame.relists;
    scan(fd, frame, now);
    return true;
  }

  bool skipped(const struct stat& st) const {
    return std::any_of(rule_.skip.begin(), rule_.skip.end(),
                       [&](const auto& s) { return s.first == st.st_dev && s.second == st.st_ino; });
  }

  // Removes an emptied directory if its name still leads to it. With an
  // owner, others' entries may have kept it non-empty: that is no failure.
  void remove_dir(int parent_fd, const Frame& done) {
    struct stat st;
    if (::fstatat(parent_fd, done.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !same(st, done.node)) return;
    if (::unlinkat(parent_fd, done.name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    if (rule_.owner && (errno == ENOTEMPTY || errno == EEXIST)) return;
    note(errno);
  }

  void note(int err) {
    if (first_error_ == 0) first_error_ = err;
  }

  const SweepRule& rule_;
  dev_t dev_;
  int first_error_ = 0;
  std::size_t matched_ = 0;
  std::size_t moved_ = 0;
  bool in_moved_tree_ = false;  // moved trees are followed one level only
};

}  // namespace

SweepOutcome sweep_tree(int dirfd, const SweepRule& rule) {
  struct stat st;
  if (::fstat(dirfd, &st) != 0) return {errno, 0, 0};
  return Sweep(rule, st.st_dev).run(dirfd);
}

int remove_tree_at(int dirfd, const char* name) {
  if (is_dot_or_dotdot(name)) return EINVAL;
  UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return errno == ELOOP ? ENOTDIR : errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (int e = sweep_directory(fd.get(), SweepRule{})) return e;
  fd.reset();
  struct stat now;
  if (::fstatat(dirfd, name, &now, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) return ESTALE;
  return ::unlinkat(dirfd, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace ferrowick
