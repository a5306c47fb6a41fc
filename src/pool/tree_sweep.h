// Removing directory trees, whole or only one account's entries, as root in
// places tenants can write.
//
// The walk keeps one directory open at a time and climbs back through ".."
// only after checking that it arrives at the device and inode it came from,
// so neither the depth of a tree nor the descriptor limit bounds it, and it
// uses no recursion. Entries are examined with fstatat(AT_SYMLINK_NOFOLLOW)
// and directories opened with O_NOFOLLOW | O_DIRECTORY, and a directory is
// entered only when the inode opened is the one examined: a symbolic link
// is never followed and a rename during the walk cannot redirect it. The
// walk never leaves the device it starts on.
#pragma once

#include <sys/types.h>

#include <optional>
#include <utility>
#include <vector>

namespace ferrowick {

struct SweepRule {
  // Whose entries go: only those owned by this uid, or all when unset.
  // With an owner, a directory is entered only when the owner could write
  // in it (it owns it or it is writable by everybody), and one it owns is
  // removed once emptied (it stays when others' entries remain in it).
  std::optional<uid_t> owner;
  // Directories (device, inode) never entered or removed.
  std::vector<std::pair<dev_t, ino_t>> skip;
};

// Applies `rule` below the open directory `dirfd`, which itself stays.
// Returns 0, or the errno of the first failure (the walk goes on after
// failures where it safely can, and stops when a tree moved under it).
int sweep_directory(int dirfd, const SweepRule& rule);

// Removes the directory `name` inside `dirfd` with everything below it.
// Returns 0 or an errno (ENOTDIR when `name` is not a directory, a
// symbolic link included).
int remove_tree_at(int dirfd, const char* name);

}  // namespace ferrowick
