// Removing directory trees, whole or only one account's entries, as root in
// places tenants can write.
//
// The walk keeps the directories of the first levels open on its way down
// (fewer when descriptors run short) and below them climbs back through
// ".." only after checking that it arrives at the device and inode it came
// from, so neither the depth of a tree nor the descriptor limit bounds it,
// and it uses no recursion. Entries are examined with fstatat(AT_SYMLINK_NOFOLLOW)
// and directories opened with O_NOFOLLOW | O_DIRECTORY, and a directory is
// entered only when the inode opened is the one examined: a symbolic link
// is never followed and a rename during the walk cannot redirect it. The
// walk never leaves the device it starts on. Failures do not stop it: an
// entry it cannot examine or remove is noted and the walk goes on, and when
// a directory moved away under it (its ".." is not the directory it came
// from) it starts over from the top, up to kMaxRestarts times. A directory
// that moved away before it was entered is found again through its file
// handle and walked where it is now (but see below). What moved is counted, so that a
// caller can tell a walk that saw all from one that may have missed some.
//
// A walk may be told that nothing of the owner existed before some time
// (SweepRule::changed_since). An entry appears in a directory only by a
// change of that directory (creating, linking or renaming into it), which
// stamps the directory's change time, and that time cannot be set back by
// any user (utimensat sets it to now). So a directory whose change time is
// earlier holds the same entries as then, none of the owner's: of its
// listing only the subdirectories (by their type there) are examined, to be
// entered, since a change deep down stamps only the directory changed. An
// unchanged subdirectory that holds no directory (its link count is 2) is
// not even entered. A directory that moves away before it is entered is
// followed through its file handle only from a changed directory; elsewhere
// it counts as moved.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace ferrowick {

inline constexpr int kMaxRestarts = 8;

struct SweepRule {
  // Whose entries go: only those owned by this uid, or all when unset.
  // With an owner, every directory is entered whatever its owner or mode
  // (the owner may have written there before it was narrowed), and one it
  // owns is removed once emptied (it stays when others' entries remain).
  std::optional<uid_t> owner;
  // Directories (device, inode) never entered or removed.
  std::vector<std::pair<dev_t, ino_t>> skip;
  // When set, the owner had no entry below the directory swept before this
  // change time (see above): entries are examined only in directories
  // changed at or after it. Heeded only on file systems known to stamp a
  // directory's change time on every change of its entries (ext2/3/4, xfs,
  // btrfs, f2fs, tmpfs); elsewhere every entry is examined.
  std::optional<timespec> changed_since;
};

struct SweepOutcome {
  int error = 0;            // errno of the first failure, or 0
  std::size_t matched = 0;  // entries the rule applied to (removed or not)
  std::size_t moved = 0;    // directories gone or moved before they were entered, and restarts
};

// Applies `rule` below the open directory `dirfd`, which itself stays.
SweepOutcome sweep_tree(int dirfd, const SweepRule& rule);
// The same, for the first failure's errno alone.
inline int sweep_directory(int dirfd, const SweepRule& rule) { return sweep_tree(dirfd, rule).error; }

// True when the file system of `fd` stamps a directory's change time on
// every change of its entries and keeps it: where changed_since is heeded.
bool stamps_directory_changes(int fd);

// Removes the directory `name` inside `dirfd` with everything below it.
// Returns 0 or an errno (ENOTDIR when `name` is not a directory, a
// symbolic link included).
int remove_tree_at(int dirfd, const char* name);

}  // namespace ferrowick
