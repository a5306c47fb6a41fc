#include "pool/tree_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

// An entry as a directory's listing gives it: its name and type (DT_UNKNOWN
// when the file system does not tell).
struct Listed {
  std::string name;
  unsigned char type;
};

// Room for one read of directory entries.
constexpr std::size_t kListChunk = 32 * 1024;

// Lists the directory open on `fd` into `out`, from its start when
// `rewind` (the descriptor was read before, or shares its offset with one
// that was); with `dirs_only`, only what may be a directory. Returns 0 or
// an errno.
int list_directory(int fd, bool rewind, bool dirs_only, std::vector<char>& chunk, std::vector<Listed>& out) {
  out.clear();
  if (rewind && ::lseek(fd, 0, SEEK_SET) != 0) return errno;
  for (;;) {
    const ssize_t n = ::getdents64(fd, chunk.data(), chunk.size());
    if (n <= 0) return n == 0 ? 0 : errno;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(chunk.data() + at);
      const bool wanted = !dirs_only || e->d_type == DT_DIR || e->d_type == DT_UNKNOWN;
      if (wanted && !is_dot_or_dotdot(e->d_name)) out.push_back({e->d_name, e->d_type});
      at += e->d_reclen;
    }
  }
}

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}


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
  timespec changed{};  // the directory's change time when it was last listed
  bool roots = false;  // owned by root: never listed again (see relist)
  int relists = 0;
  // The directory itself, kept open while the walk is below it, for the
  // first kHeldLevels levels: the way back up needs no lookup of "..".
  UniqueFd held{};
};

constexpr std::size_t kHeldLevels = 16;

UniqueFd open_directory(int dirfd, const char* name) {
  return UniqueFd(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// How often a directory of another account that changed while the walk was
// below it is listed again: what was renamed into it meanwhile is found.
constexpr int kMaxRelists = 16;

class Sweep {
 public:
  Sweep(const SweepRule& rule, dev_t dev, std::optional<timespec> since)
      : rule_(rule), dev_(dev), since_(since), chunk_(kListChunk) {}

  // Lists the directory open on `fd` in full before acting on it (removal
  // must not disturb the listing), removes what goes and queues what to
  // enter in `frame`. Of a directory unchanged since `since_`, only the
  // subdirectories are looked at (see the header), and a subdirectory
  // that is unchanged too and holds no directory is not entered.
  // `self` is the directory's status from just before (for relist and the
  // change time); `rewind` as for list_directory.
  void scan(int fd, Frame& frame, const struct stat& self, bool rewind) {
    frame.changed = self.st_ctim;
    frame.roots = self.st_uid == 0;
    // Unchanged before the listing, it must be so after it too, so that
    // nothing joined it unseen meanwhile; else it is listed again in full.
    bool examine = !unchanged(self);
    int err = list_directory(fd, rewind, !examine, chunk_, listed_);
    if (!examine && !still_unchanged(fd)) {
      examine = true;
      if (err == 0) err = list_directory(fd, true, false, chunk_, listed_);
    }
    if (err) note(err);  // what was listed is still acted on
    for (Listed& entry : listed_) {
      std::string& name = entry.name;
      struct stat st;
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) note(errno);
        continue;
      }
      const bool mine = owned(st);
      if (mine) ++matched_;
      if (st.st_dev != dev_) {  // a mount point: never crossed
        if (mine) note(EXDEV);
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        if (!skipped(st) && (mine || !unchanged_leaf(st))) {
          // Only where things change is a directory likely to move away
          // before it is entered.
          std::string handle = examine ? handle_of(fd, name.c_str()) : std::string();
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
    scan(fd.get(), frames.back(), st, true);  // a duplicate: shares its offset with `start_fd`
    while (!frames.empty()) {
      Frame& top = frames.back();
      if (!top.pending.empty()) {
        Pending next = std::move(top.pending.back());
        top.pending.pop_back();
        UniqueFd child = open_directory(fd.get(), next.name.c_str());
        if (!child.valid() && (errno == EMFILE || errno == ENFILE) && let_go_of_held(frames)) {
          child = open_directory(fd.get(), next.name.c_str());
        }
        struct stat cst;
        if (!child.valid() || ::fstat(child.get(), &cst) != 0 || !same(cst, next.node)) {
          // Replaced by another kind of entry (ENOTDIR, ELOOP) counts as gone.
          if (!child.valid() && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) note(errno);
          // Gone or replaced since it was examined. Moved elsewhere, it is
          // walked where it is now, on its own: a tree kept moving about
          // cannot dodge the walk. Only one that cannot be found again
          // makes the walk unsure.
          if (in_moved_tree_ || !walk_moved(fd.get(), next)) ++moved_;
          continue;
        }
        if (frames.size() <= kHeldLevels) top.held = std::move(fd);
        fd = std::move(child);
        frames.push_back({next.node, std::move(next.name), next.remove, {}});
        scan(fd.get(), frames.back(), cst, false);
        continue;
      }
      if (relist(fd.get(), top)) continue;
      if (frames.size() == 1) break;
      // Back up one level, to the very directory we came down from.
      Frame& above = frames[frames.size() - 2];
      if (above.held.valid()) {
        fd = std::move(above.held);
      } else {
        UniqueFd parent = open_directory(fd.get(), "..");
        struct stat pst;
        if (!parent.valid() || ::fstat(parent.get(), &pst) != 0 || !same(pst, above.node)) {
          return ESTALE;  // the tree moved: anything further from here could act elsewhere
        }
        fd = std::move(parent);
      }
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
    if (now.st_ctim.tv_sec == frame.changed.tv_sec && now.st_ctim.tv_nsec == frame.changed.tv_nsec) return false;
    ++frame.relists;
    scan(fd, frame, now, true);
    return true;
  }

  // Closes the directories kept open above the current one, to make room
  // for another descriptor; false when none was.
  static bool let_go_of_held(std::vector<Frame>& frames) {
    bool any = false;
    for (Frame& f : frames) {
      any = any || f.held.valid();
      f.held.reset();
    }
    return any;
  }

  bool owned(const struct stat& st) const { return !rule_.owner || st.st_uid == *rule_.owner; }

  bool still_unchanged(int fd) const {
    struct stat now;
    return ::fstat(fd, &now) == 0 && unchanged(now);
  }

  // True for a directory, of status `st`, unchanged since `since_` and
  // holding no directory (its link count is 2: itself and its entry in its
  // parent; file systems that do not count subdirectories say 1): nothing
  // of the owner can be below it.
  bool unchanged_leaf(const struct stat& st) const { return unchanged(st) && st.st_nlink == 2; }

  // Unchanged since `since_`: none of its entries can be the owner's.
  bool unchanged(const struct stat& st) const { return since_ && earlier(st.st_ctim, *since_); }

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
  std::optional<timespec> since_;  // rule_.changed_since where it is heeded
  std::vector<char> chunk_;        // for list_directory
  std::vector<Listed> listed_;     // the latest listing (scan is never nested)
  int first_error_ = 0;
  std::size_t matched_ = 0;
  std::size_t moved_ = 0;
  bool in_moved_tree_ = false;  // moved trees are followed one level only
};

}  // namespace

SweepOutcome sweep_tree(int dirfd, const SweepRule& rule) {
  struct stat st;
  if (::fstat(dirfd, &st) != 0) return {errno, 0, 0};
  std::optional<timespec> since;
  if (rule.changed_since && stamps_directory_changes(dirfd)) since = rule.changed_since;
  return Sweep(rule, st.st_dev, since).run(dirfd);
}

bool stamps_directory_changes(int fd) {
  // Others keep no change time (a creation time stands in once the inode
  // is read again), or take it from layers below (overlays).
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (fs.f_type) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC: return true;
    default: return false;
  }
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
