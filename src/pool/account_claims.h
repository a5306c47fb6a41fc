// Host-wide claims on pool accounts: at most one pool manages an account.
//
// A pool manages an account only while it holds the account's claim, an
// open-file-description lock (F_OFD_SETLK) on <kClaimDir>/<name>.claim.
// Such a lock belongs to one open file, not to a process or a thread, so two
// pools of one process exclude each other exactly as two processes do, and
// the kernel drops it when the last descriptor of that open file is closed,
// which includes the death of the process by any signal: a crash leaves no
// stale claim. Descriptors are close-on-exec, so `su` and the tenant's shell
// never hold one.
//
// The store is a root-owned directory of mode 0700 outside every
// tenant-writable place; it is checked on each use (a real directory, owned
// by root, not reachable by others) and files in it are opened with
// O_NOFOLLOW, so a tenant can neither plant, remove nor lock a claim.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "common/unique_fd.h"

namespace ferrowick {

inline constexpr std::string_view kClaimDir = "/run/ferrowick";

// A held claim; dropping it gives the account up.
class AccountClaim {
 public:
  AccountClaim() = default;
  explicit AccountClaim(UniqueFd fd) : fd_(std::move(fd)) {}
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};

// Claims `name`: the held claim, nothing when another open file holds it,
// or a text saying why the store cannot be used.
Expected<std::optional<AccountClaim>, std::string> try_claim(std::string_view name);

// True when a claim on `name` is held anywhere on the host (also by this
// process). Does not create anything.
bool is_claimed(std::string_view name);

// Removes the claim file of `name`. The caller holds the claim: a pool that
// opened the file before its removal finds, once it gets the lock, that the
// name now leads elsewhere and claims afresh (see try_claim).
void retire_claim(std::string_view name);

// Host-wide lock serialising changes to the account database: `useradd`
// and `userdel` fail while another one runs, across processes too.
Expected<UniqueFd, std::string> lock_account_database();

}  // namespace ferrowick
