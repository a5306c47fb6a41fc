// Temporary home directories of pool accounts.
//
// Every hand-out of an account gets a fresh, empty home at
// /tmp/tmp_user_home/<name>, owned by the account and private to it (mode
// 0700 whatever the umask). The home root must be a real directory owned by
// root and writable by nobody else; a symbolic link or a foreign owner there
// is refused rather than followed. The process runs as root in a shared
// /tmp, so nothing here follows a symbolic link it did not ask for: an old
// home is removed through directory descriptors (see tree_sweep.h) and the
// new one is opened with O_NOFOLLOW before its owner and mode are set
// through that descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace ferrowick {

inline constexpr std::string_view kHomeRoot = "/tmp/tmp_user_home";

// Opens the home root `root`, creating it (mode 0755) and its missing
// ancestors. Fails with "Failed to create the parent folder of the temporary
// home directory", or with a text naming the root when it is a symbolic
// link, not a directory or not owned by root. A root-owned root with a
// wider mode is narrowed to 0755.
Expected<UniqueFd, std::string> open_home_root(std::string_view root);

// Prepares the home of account `username` (uid `uid`) in the open home root
// `root_fd` whose path is `root`:
//   1. if <root>/<username> exists (links followed), removes it: a symbolic
//      link is unlinked itself, its target left alone; a directory goes with
//      all its content, however deep; anything else fails;
//   2. creates <root>/<username>;
//   3. resolves it to its canonical absolute path, which must be UTF-8;
//   4. sets its owner and group to `uid` and its mode to 0700.
// Returns the canonical path, or a text naming the step that failed, with
// the system's error text for canonicalisation and ownership. A dangling
// link at <root>/<username> makes step 2 fail.
Expected<std::string, std::string> prepare_home_at(int root_fd, std::string_view root,
                                                   std::string_view username, std::uint32_t uid);

// open_home_root(root), then prepare_home_at; fails for an empty root.
Expected<std::string, std::string> prepare_home_in(std::string_view root,
                                                   std::string_view username,
                                                   std::uint32_t uid);

// prepare_home_in(kHomeRoot, username, uid).
inline Expected<std::string, std::string> prepare_home(std::string_view username,
                                                       std::uint32_t uid) {
  return prepare_home_in(kHomeRoot, username, uid);
}

}  // namespace ferrowick
