// Confined accounts: what a pool's tenants are kept from besides each
// other's files.
//
// A pool's Confinement holds for every account it hands out and every
// session of it:
//   network = false          a network namespace of its own per hand-out,
//                            loopback up, shared by all of the account's
//                            sessions; no other interface, so nothing of
//                            the host's network (its listeners, addresses,
//                            abstract Unix sockets) can be reached
//   private_tmp = true       private /tmp, /var/tmp and /dev/shm per
//                            hand-out, shared by its sessions; the home
//                            stays at its path
//   host_processes = false   a procfs showing the tenant its own processes
//   setuid_programs = false  no_new_privs: set-uid and file-capability
//                            programs run without gaining anything
// Sessions enter it in their child (child_confinement.h), each with a mount
// namespace of its own; this file holds what lives as long as the hand-out.
//
// The network namespace is held by a descriptor of this process, never by
// a mount: it disappears with its last process once the hand-out ends,
// also when this process dies by any signal. The private copies are root's
// directories at <place>/ferrowick-private/<account>, on the same file
// system as the place they stand for (so they fill what it would have);
// `ferrowick-private` is root's with mode 0700, so no tenant can reach a
// copy other than through its own sessions' mounts. They are removed when
// the hand-out ends, before the next hand-out of the account, and by the
// account purge.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "pool/child_confinement.h"

namespace ferrowick {

// Each field false (true for private_tmp) confines that aspect; the
// defaults confine nothing.
struct Confinement {
  bool network = true;
  bool private_tmp = false;
  bool host_processes = true;
  bool setuid_programs = true;

  bool confines() const { return !network || private_tmp || !host_processes || !setuid_programs; }
};

// One hand-out's confinement.
class AccountNamespaces {
 public:
  // Makes what `confinement` needs for account `username`: the network
  // namespace, the private copies (any left over from an earlier hand-out
  // removed first). Fails with "Failed to confine the account: " and what
  // went wrong; nothing is left behind then.
  static Expected<std::unique_ptr<AccountNamespaces>, std::string> create(const Confinement& confinement,
                                                                          std::string_view username);
  AccountNamespaces(const AccountNamespaces&) = delete;
  AccountNamespaces& operator=(const AccountNamespaces&) = delete;
  // Ends the hand-out's private places: removes the copies with their
  // content (problems on stderr). The account's processes must be gone.
  // Later calls, and calls in a process forked from the one that made this
  // object, do nothing. A child launched after it finds no copies and
  // fails to start.
  void end();
  // end(), and lets go of the network namespace.
  ~AccountNamespaces();

  // What a child of this account does before its program starts; valid
  // while this object lives.
  const ChildConfinement& child() const { return child_; }

 private:
  AccountNamespaces() = default;

  pid_t creator_ = 0;
  bool ended_ = false;
  std::string username_;
  std::string home_leaf_;
  UniqueFd netns_;
  ChildConfinement child_;
};

// Removes the private copies of account `username` in every place, left
// by any pool (a dead one too). Returns one text per problem.
std::vector<std::string> remove_private_places(std::string_view username);

}  // namespace ferrowick
