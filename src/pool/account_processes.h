// Ending every process of a pool account when the account is released.
//
// `pkill -u UID` asks the account's processes to end; a process may ignore
// that, and a fork bomb makes new ones faster than a list can be read, so a
// child of this process then takes the account's uid and sends signal 9 to
// every process that uid may signal (kill(-1)) until none is left: each such
// call reaches every process of the uid at once, so no fork rate outruns it.
// Zombies do not count as alive: they hold no resources of the account and
// may linger when their new parent never reaps them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.h"
#include "pool/host_command.h"

namespace ferrowick {

// Why a `pkill` run counts as failed, or nothing when it succeeded (exit
// codes 0, 1 and 2; 1 means no process matched). `run` is the outcome of
// run_host_command: an errno when pkill could not be started, which the
// reason gives as the system's error text. Otherwise the reason gives the
// exit code (None when a signal ended pkill) and pkill's stderr, empty when
// that is not UTF-8.
std::optional<std::string> pkill_failure_reason(const Expected<HostOutput, int>& run);

// Processes whose real or effective uid is `uid`, this process excluded:
// the live ones, and how many are dead but not yet reaped.
struct AccountProcesses {
  std::vector<pid_t> live;
  std::size_t zombies = 0;
};
AccountProcesses processes_of(std::uint32_t uid);
inline std::vector<pid_t> live_processes_of(std::uint32_t uid) { return processes_of(uid).live; }

// How long kill_remaining_processes waits for dead processes of the uid to
// be reaped by their parents: until then they count against the process
// limit of the account's next tenant.
inline constexpr std::chrono::milliseconds kReapGrace{3000};

// Sends signal 9 to every process of `uid` (from a child running as `uid`)
// and repeats until none is alive or `patience` has passed; waits up to
// kReapGrace (from the call) for dead ones to be reaped. Returns true when
// none is alive. Does nothing for uid 0 (returns false) so that root's
// processes are never hit.
bool kill_remaining_processes(std::uint32_t uid,
                              std::chrono::milliseconds patience = std::chrono::milliseconds(10000));

// The release sequence: runs `pkill -u UID`, then kill_remaining_processes.
// Each failure is written to stderr as one line,
// "⚠️ Failed to kill all processes of the user: " + reason. Never fails.
// For uid 0 it only reports: that would end this process and all of root's.
// Returns true when no process of the uid is left.
bool kill_user_processes(std::uint32_t uid);

}  // namespace ferrowick
