// Entering an account's confinement in a freshly forked child, before the
// program (`su` for a session) starts.
//
// The parent prepares a ChildConfinement before it forks; the child then
// makes async-signal-safe system calls only: no allocation, no lock, no
// stdio. Every mount change happens in the child's own mount namespace,
// after the whole tree was made a slave of the host's, so nothing
// propagates back to the host; the namespace ends with the last process in
// it. Paths are opened one component at a time with O_NOFOLLOW and
// mounted through /proc/self/fd, so no link a tenant could plant is ever
// followed, and every directory on the way that the tenant could write to
// is checked to be root's.
#pragma once

#include <cstddef>

namespace ferrowick {

// The places an account gets private copies of, and the name of the root-only
// directory inside each that holds the copies: <place>/<kPrivateDirName>/<account>.
inline constexpr const char* kPrivatePlaces[] = {"/tmp", "/var/tmp", "/dev/shm"};
inline constexpr std::size_t kPrivatePlaceCount = sizeof kPrivatePlaces / sizeof kPrivatePlaces[0];
inline constexpr const char* kPrivateDirName = "ferrowick-private";

struct ChildConfinement {
  // A network namespace to join, or -1.
  int netns_fd = -1;
  // Non-null: the account whose private copies replace the places below
  // (those with `backed` set; a place the host lacks has none).
  const char* account = nullptr;
  bool backed[kPrivatePlaceCount] = {};
  // The home root's name in /tmp ("tmp_user_home"), when the home lies
  // there: the account's home is bound back into its private /tmp, at the
  // mount point <private /tmp>/<home_leaf>/<account> made ready for it.
  const char* home_leaf = nullptr;
  // procfs showing only the processes the tenant may trace (its own).
  bool hide_processes = false;
  bool no_new_privs = false;
};

// In the child: joins `c.netns_fd`; when private places or hidden
// processes are asked for, enters a mount namespace of its own (then makes
// "/" a slave, recursively), binds the private copies over their places and
// the home back to its path, and mounts a procfs with hidepid=invisible
// (hidepid=2 on kernels before 5.8) over /proc; last, sets no_new_privs.
// Returns 0 or the errno of the first step that failed.
int enter_confinement(const ChildConfinement& c) noexcept;

}  // namespace ferrowick
