// Ending every process of a pool account when the account is released.
//
// The host finds the account's processes in /proc and sends each signal 9
// through a pidfd, again and again until none is left or a deadline passes.
// No process is started for it: a killer that took the account's uid could
// be stopped or killed by the tenant (kill(-1, SIGSTOP) reaches it), and one
// that must be forked cannot start while a fork bomb fills the host's task
// limit. A process counts as the account's when any of its real, effective,
// saved or file-system uids is the account's: each of those lets it act as
// the account. Each signal goes through a pidfd opened before the process is
// checked once more, so a pid that was reused meanwhile is never hit.
//
// Zombies do not count: they run nothing and hold none of the account's
// resources but a slot in the process table, and only their parent (often
// PID 1, which may reap lazily) can remove them.
//
// This is the one place that kills an account's processes; a kill that
// goes through a per-session control group belongs here too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/unique_fd.h"
#include "pool/fd_wait.h"

namespace ferrowick {

// Processes of `uid` (see above), this process excluded: the live ones, and
// how many are dead but not yet reaped.
struct AccountProcesses {
  std::vector<pid_t> live;
  std::size_t zombies = 0;
};
AccountProcesses processes_of(std::uint32_t uid);
inline std::vector<pid_t> live_processes_of(std::uint32_t uid) { return processes_of(uid).live; }

// How long a release or a hand-out keeps killing before it gives up and
// sets the account aside: far longer than any tenant keeps up with a kill
// per process.
inline constexpr std::chrono::milliseconds kKillPatience{5000};

// Sends signal 9 to every live process of `uid` and repeats until none is
// alive (true) or `deadline` has passed (false). Never waits for zombies to
// be reaped. Does nothing for uid 0 (returns false), so that root's
// processes are never hit.
bool kill_account_processes(std::uint32_t uid, WaitClock::time_point deadline);

// Dead processes of an account that a hand-out lets pass: each counts
// against the next tenant's process limit until its parent reaps it, so a
// hand-out after a fork bomb waits up to kReapGrace for the excess to go.
// A release never waits for them.
inline constexpr std::size_t kZombieAllowance = 32;
inline constexpr std::chrono::milliseconds kReapGrace{3000};

// Waits until at most kZombieAllowance dead processes of `uid` are left
// unreaped, or kReapGrace has passed; true in the first case.
bool await_reaping(std::uint32_t uid);

// Sends signal 9 to the children of `parent` (a process of this one) that
// do not run as root; returns a pidfd of each one signalled. A session
// kills its shell so, before `su`, and lets `su` reap it.
std::vector<UniqueFd> kill_unprivileged_children(pid_t parent);

// True once the process of `pidfd` has been reaped by its parent.
bool reaped_by_parent(int pidfd);

// kill_account_processes with kKillPatience from now; writes one line,
// "⚠️ Failed to kill all processes of the user: " + reason, to stderr when
// processes are left (or for uid 0, which it refuses). Returns true when no
// process of the uid is left.
bool kill_user_processes(std::uint32_t uid);

}  // namespace ferrowick
