// Temporary home directories of pool accounts.
//
// Every hand-out of an account gets a fresh, empty home at
// /tmp/tmp_user_home/<name>, owned by the account. The process runs as root
// in a shared /tmp, so nothing here follows a symbolic link it did not ask
// for: an old home is removed through directory descriptors (a link inside
// it is unlinked, never entered), and the new one is opened with O_NOFOLLOW
// before its owner is changed through that descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.h"

namespace ferrowick {

inline constexpr std::string_view kHomeRoot = "/tmp/tmp_user_home";

// Prepares the home of account `username` (uid `uid`) under `root`:
//   1. creates `root` and missing ancestors (mode 0777 less the umask);
//   2. if <root>/<username> exists (links followed), removes it: a symbolic
//      link is unlinked itself, its target left alone; a directory goes with
//      all its content; anything else fails;
//   3. creates <root>/<username> (mode 0777 less the umask);
//   4. resolves it to its canonical absolute path, which must be UTF-8;
//   5. sets its owner and group to `uid`.
// Returns the canonical path, or a text naming the step that failed, with
// the system's error text for canonicalisation and ownership. A dangling
// link at <root>/<username> makes step 3 fail.
Expected<std::string, std::string> prepare_home_in(std::string_view root,
                                                   std::string_view username,
                                                   std::uint32_t uid);

// prepare_home_in(kHomeRoot, username, uid).
inline Expected<std::string, std::string> prepare_home(std::string_view username,
                                                       std::uint32_t uid) {
  return prepare_home_in(kHomeRoot, username, uid);
}

// Removes the directory `name` inside the directory `dirfd` with everything
// below it, never following a symbolic link. Returns 0 or an errno
// (ENOTDIR when `name` is not a directory).
int remove_tree_at(int dirfd, const char* name);

}  // namespace ferrowick
