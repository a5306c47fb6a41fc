// The host's world-writable directories: where a tenant can leave files
// outside its home.
//
// Found by walking every local file system mounted read-write (not network
// or kernel-interface file systems), without crossing mounts and without
// following links. A directory that others cannot search is not entered:
// a tenant cannot reach anything below it. Below a world-writable directory
// the walk does not go on either: the sweep of leftovers enters everything
// there.
//
// The list is the process's: a pool's start asks for it to be found again
// (in a thread of its own, since it reads every directory of the host),
// unless the latest search ended less than kRefreshAfter ago, and sweeps use
// the latest complete list, waiting for the first one. Lists are
// never freed once published (a new one is kept only when it differs), so
// readers need no lock, also in a process forked while one was being made.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ferrowick {

inline constexpr std::chrono::seconds kRefreshAfter{60};

// Starts finding the list again in a background thread, unless a search
// started by this process is still running or the latest one is recent.
void refresh_writable_places();

// The latest complete list, sorted. When none is complete yet, starts a
// search if none runs and waits up to `patience` for it; after that, the
// places every Linux host has (/tmp, /var/tmp, /dev/shm).
const std::vector<std::string>& writable_places(std::chrono::milliseconds patience = std::chrono::seconds(30));

// The search itself, on the calling thread: the world-writable directories
// of the file systems mounted at `mount_points` (all local read-write ones
// when empty), sorted.
std::vector<std::string> find_writable_places(const std::vector<std::string>& mount_points = {});

}  // namespace ferrowick
