// The pool: throw-away host accounts and the shells that run as them.
//
// Map of src/pool, one concept per file, in the order a hand-out flows:
//   user_pool          UserPool, User, alloc_user: hand-out and release (this file)
//   name_generator     the deterministic account names
//   account_claims     host-wide claims (one pool per account), account-database lock
//   account_processes  killing every process of a released account (pidfds)
//   account_leftovers  a tenant's files and jobs outside its home
//   kernel_leftovers   its IPC objects, message queues and keyrings
//   writable_places    the host's world-writable directories, found in the background
//   account_namespaces a confined pool's per-hand-out network and private places
//   child_confinement  a child entering its account's confinement before exec
//   tree_sweep         root's link-proof walks through tenant-writable trees
//   home_dir           the fresh, private home of each hand-out
//   pool_admin         listing and removing accounts no live pool manages
//   launcher           the one way a child starts: PATH search, pipes, limits
//   child_process      a started child held by pidfd: signal, wait, reap
//   host_command       run a host tool to completion, output captured
//   fd_wait            bounded waits: deadline, cancel descriptor, check
//   terminal_session   a bash shell as a pool account, through `su`
//   command_launch     a program started as an account directly: ids, cwd, clean env
//   command_process    a running command: streams, wait, kill, close (PyProcess)
//   command_run        exec's one poll loop: input, both streams, deadline
//   command_tree       killing a command's tree, found in /proc
//   capped_output      a stream's first and last bytes within a cap
//   cgroup_*           the host's control groups: layout, probe, v1/v2 files
//   session_group      a session's or command's groups: limits, usage, tree kill
//   group_stock        groups made ahead and removed later, while callers wait
//   run_framing        how a session frames one command's output
// Descriptor ownership (common/unique_fd.h) and errno texts
// (common/system_error.h) live in src/common.
//
// Locks, outermost first; none is held while a child is waited for except
// where said:
//   Mutex<UserPool> (SharedPool)   the pool's lists, claims and generator;
//                                  held while a new account is made
//   account database lock (flock)  host-wide, around `useradd`/`userdel`
//   Mutex<User> (SharedUser)       a handed-out account; held only to copy
//                                  or to mark it released
//   session gates                  one per stream, and one for run(): held
//                                  for a whole call, taken like a wait
//   session state_mu_              closed flag, the child, calls in use
//   session kept_mu_               output run() read past its end
//   command mu_                    a command's state, the child, calls in use
//   group stock mu_                its lists only; no mkdir/rmdir under it
//
// UserPool and User: throw-away host accounts handed out to scripts.
//
// A pool manages at most `max_user` host accounts named by its
// NameGenerator. `user` lists every account the pool created or adopted,
// `free_user` those ready to be handed out (a stack: last in, first out).
// A new account is made (with `useradd`, or adopted when the host already
// has one of that name) only when none is free and fewer than `max_user`
// exist. A pool manages only accounts whose host-wide claim it holds
// (account_claims.h): a name managed elsewhere is skipped for the
// generator's next one, so no two pools on the host ever share an account,
// and the first pool on a quiet host gets the same names as ever.
//
// Each hand-out gets an account with no process running, none of its files
// left in the host's shared places (account_leftovers.h) and a fresh, empty,
// private home. An account that cannot be brought to that state is set
// aside: reported on stderr, kept claimed but no longer counted or handed
// out by this pool, and the next name is tried.
//
// A User is one handed-out account. Releasing it (release_user, or
// destroying it) kills all of the account's processes, removes its
// leftovers, and puts the account back on its pool's `free_user`; an
// account whose processes outlive kKillPatience is set aside instead. The
// account and its home stay on the host.
//
// Users remember the process that made them: in a process forked from it,
// releasing or destroying them acts on nothing outside that process's
// memory.
//
// Locking: every function here takes the locks it needs itself and holds
// none across calls, so callers may drop their own (interpreter) lock around
// them. The pool lock is held while a new account is made; home preparation
// and killing run without it. While the pool lock or the host's
// account-database lock is held, the thread's ambient wait check
// (fd_wait.h) is never called: it may run code that needs either lock.
// Problems that must not stop an operation are written as one line to
// standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/expected.h"
#include "common/poison_lock.h"
#include "pool/account_claims.h"
#include "pool/account_namespaces.h"
#include "pool/account_leftovers.h"
#include "pool/fd_wait.h"
#include "pool/name_generator.h"

namespace ferrowick {

struct AccountEntry {
  std::uint32_t uid;
  std::string username;
  // Set when this pool released the account with every process and
  // leftover gone: when that release's sweep, which found nothing of it,
  // began. Since then only this pool could hand it out, so the next
  // hand-out skips the sweep.
  std::optional<SweepMark> clean_since{};
};

class UserPool {
 public:
  // Lists are reserved for min(max_user, kReserveLimit) entries, so a huge
  // capacity costs nothing up front.
  static constexpr std::size_t kReserveLimit = 64;

  explicit UserPool(std::uint32_t max_user, Confinement confinement = {});

  std::vector<AccountEntry> user;       // every account of the pool
  std::vector<AccountEntry> free_user;  // accounts ready to be handed out
  std::uint32_t max_user;
  NameGenerator rng;
  // What every hand-out of this pool is kept from (account_namespaces.h).
  Confinement confinement;
  // Claims held by this pool, by account name: those of `user` and of the
  // accounts set aside (which stay claimed so no pool keeps retrying them
  // while this one lives).
  std::unordered_map<std::string, AccountClaim> claims;
  std::vector<AccountEntry> set_aside;
  // An eventfd written each time an account goes back on `free_user`, for
  // allocations that wait for one; -1 when none could be made (they then
  // look again every few milliseconds).
  UniqueFd released;
};

using SharedPool = std::shared_ptr<Mutex<UserPool>>;

SharedPool make_user_pool(std::uint32_t max_user, Confinement confinement = {});

class User {
 public:
  // `swept` is when the latest sweep of the account's files that found
  // nothing of it began: its release examines only what changed since.
  User(std::string username, std::uint32_t uid, std::string home, SharedPool pool, const SweepMark& swept);
  User(const User&) = delete;
  User& operator=(const User&) = delete;
  // Releases the account as release_user does, unless that ran already.
  // Never throws: a Panic (a poisoned pool lock) goes to report_drop_panic.
  ~User();

  const std::string& username() const { return username_; }
  std::uint32_t uid() const { return uid_; }
  const std::string& home() const { return home_; }
  // True once the release has begun (or the User is another process's, see
  // mine()): the account may be someone else's by now.
  bool released() const { return released_; }
  // True in the process that allocated the account.
  bool mine() const;
  // The account's confinement, which its children enter before their
  // program starts; null for a pool that confines nothing and once the
  // release has begun (the release ends it, after the account's processes).
  // A launch holds its own reference, so a release meanwhile cannot pull
  // the descriptors from under it.
  std::shared_ptr<const AccountNamespaces> namespaces() const { return namespaces_; }
  void set_namespaces(std::shared_ptr<AccountNamespaces> ns) { namespaces_ = std::move(ns); }

 private:
  friend bool release_user(Mutex<User>& user);
  std::string username_;
  std::uint32_t uid_;
  std::string home_;
  SharedPool pool_;
  SweepMark swept_;
  pid_t creator_;
  bool released_ = false;
  std::shared_ptr<AccountNamespaces> namespaces_;
};

using SharedUser = std::shared_ptr<Mutex<User>>;

// Releases the account now, whoever else still holds the User: every
// process of it is killed (its sessions' shells included, so their `su`
// ends), its leftovers are removed and it goes back to its pool, or is set
// aside (a line on stderr) when processes outlive kKillPatience. Returns
// false when the release had begun already or the User belongs to another
// process (then nothing happens). The User's lock is held only to mark it
// released. Panics when the pool lock is poisoned.
bool release_user(Mutex<User>& user);

// Why an allocation failed: `message` is the script's error text,
// `reason` (possibly empty) says what lay behind it.
struct AllocFailure {
  enum class Kind { kFailed, kTimedOut, kInterrupted };
  Kind kind = Kind::kFailed;
  std::string message;
  std::string reason;
};

// alloc_user that may wait for an account to be released. Without
// `may_wait` a full pool fails at once; with it the call waits for a
// release until `wait.deadline` (none: without limit), then fails with
// kTimedOut. `wait.check` is called at least every kCheckInterval while it
// waits, never with a lock held; when it returns false the call ends with
// kInterrupted. It is also the ambient check of the host tools run on the
// way, except under the pool lock. Panics as alloc_user does.
Expected<SharedUser, AllocFailure> allocate_user(SharedPool pool, bool may_wait, const WaitLimits& wait);

// Hands out an account of `pool` (consumed: it moves into the User).
// Fails when the pool is full or no account could be made (`useradd`
// failed, the new account has no uid, or the claim store is unusable), with
// open_home_root's text, or, after kMaxSetAside accounts in a row were set
// aside, with the last one's preparation text. Panics when the pool lock is
// poisoned, when `id` or `useradd` cannot be started, or when the pool holds
// more accounts than its capacity; a panic while the pool lock is held
// poisons it.
Expected<SharedUser, std::string> alloc_user(SharedPool pool);
inline constexpr int kMaxSetAside = 4;

// The reason given when a full pool refuses: "all N accounts are in use".
std::string pool_full_reason(std::uint32_t max_user);

// The uid of host account `name` from `id -u NAME`; nothing when `id` fails
// or prints no number. Panics with "Failed to execute the command `id`" when
// `id` cannot be started. Output that is not UTF-8 is reported on stderr.
std::optional<std::uint32_t> userid(std::string_view name);

// Parses the first line of `id -u` output (up to the first line feed, less a
// carriage return before it) as an unsigned 32-bit decimal with an optional
// leading "+"; nothing for anything else, including spaces and "".
std::optional<std::uint32_t> parse_uid_line(std::string_view output);

}  // namespace ferrowick
