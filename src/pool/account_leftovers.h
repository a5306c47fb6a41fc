// What a tenant leaves on the host outside its home, removed before the
// account is handed to the next tenant.
//
// Files: every entry owned by the account below the host's world-writable
// directories (writable_places.h: /tmp, /var/tmp, /dev/shm, /run/lock, ...),
// walked as tree_sweep.h describes, entering every directory there, pass
// after pass until one finds nothing of the account and nothing moved (at
// most six). The home root is never entered: homes are prepared on their
// own (home_dir.h). Entries of
// other owners are never touched; a directory of the account that still
// holds them stays.
// A sweep that follows one which found nothing of the account examines
// only directories changed since that one began (SweepRule::changed_since):
// nothing of the account runs between sweeps but its tenant, and each
// entry a tenant adds, links or renames anywhere stamps the directory it
// lands in. Every directory is still entered.
// Kernel objects (kernel_leftovers.h): System V IPC objects, POSIX message
// queues and keyrings of the account. Scheduled jobs: the account's crontab
// and `at` jobs, where those tools are installed.
//
// The account's processes must be gone first, so that nothing of it moves
// entries during the walk.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowick {

// When a sweep of an account's files began, by the wall clock (which
// stamps change times) and by the boot clock (which no one sets), and the
// list of places it covered.
struct SweepMark {
  timespec wall{};
  timespec boot{};
  const std::vector<std::string>* places = nullptr;
};
// Now, with the latest list of the host's places (writable_places()).
SweepMark sweep_mark_now();

// Room for change times stamped from a coarser clock than the wall clock's
// readings, or kept in whole seconds.
inline constexpr std::chrono::seconds kClockMargin{2};

// The change time from which a sweep begun at `now` examines a directory's
// entries when the sweep begun at `last` found nothing of the account:
// `last`'s wall time less kClockMargin. Nothing (examine every directory)
// when the list of places changed (a new one was never swept), or when the
// wall clock was set meanwhile: it moved more than a quarter of
// kClockMargin apart from the boot clock. (A clock set back and forth again
// by the same amount between two sweeps goes unseen.)
std::optional<timespec> examine_changes_from(const SweepMark& last, const SweepMark& now);

// Removes the leftovers of account `username` (uid `uid`, never 0), in a
// sweep begun at `begun` (below its places); with `last`, the latest sweep
// that found nothing of the account, it examines only what changed since
// (examine_changes_from). Returns one text per problem met (empty when
// everything went, and the last pass over the files found nothing of the
// account); never stops early.
std::vector<std::string> remove_account_leftovers(std::uint32_t uid, std::string_view username,
                                                  const SweepMark& begun, const std::optional<SweepMark>& last);
// The same, begun now, examining everything.
std::vector<std::string> remove_account_leftovers(std::uint32_t uid, std::string_view username);

// The same for the files only, below `places` instead of the host's shared
// places, skipping the directory `home_root` when it lies there.
std::vector<std::string> remove_files_of(std::uint32_t uid, const std::vector<std::string>& places,
                                         std::string_view home_root,
                                         std::optional<timespec> changed_since = std::nullopt);

}  // namespace ferrowick
