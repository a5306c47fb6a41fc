// Housekeeping of the host's pool accounts: what exists, and removing what
// no live pool manages. Used by the `ferrowick-pool` tool; needs root.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"

namespace ferrowick {

struct HostAccount {
  std::string username;
  std::uint32_t uid;
  bool managed;                  // a live pool holds its claim
  std::vector<pid_t> processes;  // its live processes
  std::string home;              // <home root>/<username>
  bool home_exists;
};

// How far into the generator's sequence an account name counts as a pool's.
inline constexpr std::size_t kKnownPoolNames = std::size_t{1} << 20;

// The host accounts whose names the pools' generator makes, in its order.
std::vector<HostAccount> host_pool_accounts();

// Removes pool account `username` unless a live pool manages it (it is
// claimed for the duration, so none can take it meanwhile): its processes,
// its leftovers in the shared places, the private places a confined pool
// left (account_namespaces.h), its home, then the account itself
// with `userdel`, and its claim. Problems that do not stop the purge are
// written to stderr. Fails with a text saying why the account stays.
Expected<void, std::string> purge_account(std::string_view username);

}  // namespace ferrowick
