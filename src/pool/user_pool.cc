#include "pool/user_pool.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <utility>

#include "common/utf8.h"
#include "pool/account_leftovers.h"
#include "pool/account_processes.h"
#include "pool/home_dir.h"
#include "pool/host_command.h"
#include "pool/writable_places.h"

namespace ferrowick {

namespace {

const char* const kAllocFailed = "Failed to allocate a new user account";
constexpr std::string_view kLeftoverReport = "\xE2\x9A\xA0\xEF\xB8\x8F Failed to remove all leftovers of the user: ";
constexpr std::string_view kSetAsideReport = "\xE2\x9A\xA0\xEF\xB8\x8F Setting the account aside: ";

void report_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// How many generated names a pool passes over because other pools manage
// them before it gives up; far more than any host holds pools.
constexpr int kMaxSkippedNames = 1 << 16;

struct MadeAccount {
  AccountEntry entry;
  AccountClaim claim;
};

// Names the pool's next account that no other pool manages, claims it, and
// finds it on the host, creating it with `useradd` when it does not exist
// yet. Takes the pool's guard: it runs under the pool lock. Fails with the
// reason.
Expected<MadeAccount, std::string> make_account(const Mutex<UserPool>::Guard& pool) {
  std::string name;
  AccountClaim claim;
  for (int skipped = 0; !claim.held(); ++skipped) {
    if (skipped == kMaxSkippedNames) return Unexpected(std::string("every account name is managed by another pool"));
    name = pool->rng.next_name();
    auto got = try_claim(name);
    if (!got) {
      report_line(got.error());
      return Unexpected(std::move(got).error());
    }
    if (*got) claim = std::move(**got);
  }
  std::optional<std::uint32_t> uid = userid(name);
  if (!uid) {
    // `useradd` fails while another one holds the account database, also
    // in other processes: all pools on the host add accounts one at a time.
    auto db = lock_account_database();
    if (!db) {
      report_line(db.error());
      return Unexpected(std::move(db).error());
    }
    Expected<HostOutput, int> run = run_host_command({"useradd", name});
    if (!run) panic("Failed to execute the command `useradd`");
    if (!run->success()) {
      std::string err = is_valid_utf8(run->err) ? run->err : std::string();
      report_line("Failed to create the user account: " + err);
      while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
      std::string reason = "`useradd " + name + "` failed";
      if (!err.empty()) reason += ": " + err;
      return Unexpected(std::move(reason));
    }
    uid = userid(name);
    if (!uid) return Unexpected("`id -u " + name + "` found no account after `useradd`");
  }
  // An account of this name that is root would hand root shells out and
  // make release kill every root process: never adopt it.
  if (*uid == 0) return Unexpected("the host's account " + name + " is root");
  return MadeAccount{AccountEntry{*uid, std::move(name)}, std::move(claim)};
}

// Brings a free account to the state a tenant gets: no process of it
// running, none of its files left in the shared places (`entry.clean_since`
// says since when), a fresh home.
Expected<std::string, std::string> prepare_account(AccountEntry& entry, int root_fd) {
  if (!kill_account_processes(entry.uid, WaitClock::now() + kKillPatience)) {
    return Unexpected("processes of uid " + std::to_string(entry.uid) + " still alive after signal 9");
  }
  // Not a reason to set the account aside: the dead go, only later.
  (void)await_reaping(entry.uid);
  if (!entry.clean_since) {
    // Handed out only when nothing of an earlier tenant was left.
    const SweepMark begun = sweep_mark_now();
    std::vector<std::string> problems = remove_account_leftovers(entry.uid, entry.username, begun, std::nullopt);
    // Private places a confined pool that died left behind.
    for (std::string& problem : remove_private_places(entry.username)) problems.push_back(std::move(problem));
    for (const std::string& problem : problems) report_line(std::string(kLeftoverReport) + problem);
    if (!problems.empty()) return Unexpected("leftovers remain: " + problems.front());
    entry.clean_since = begun;
  }
  return prepare_home_at(root_fd, kHomeRoot, entry.username, entry.uid);
}

// Takes the entry of `uid` out of the pool's count and keeps it aside.
void set_aside(UserPool& p, std::uint32_t uid, const std::string& why) {
  auto it = std::find_if(p.user.begin(), p.user.end(), [&](const AccountEntry& e) { return e.uid == uid; });
  if (it == p.user.end()) return;
  report_line(std::string(kSetAsideReport) + it->username + ": " + why);
  AccountEntry entry = std::move(*it);
  p.user.erase(it);
  entry.clean_since.reset();
  p.set_aside.push_back(std::move(entry));
}

void notify_release(int event_fd) {
  if (event_fd < 0) return;
  const std::uint64_t one = 1;
  while (::write(event_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void drain_releases(int event_fd) {
  std::uint64_t count;
  if (event_fd >= 0) (void)!::read(event_fd, &count, sizeof count);
}

// Kills, cleans and hands back (or sets aside) the account `uid`, whose
// files' latest sweep that found nothing of it began at `swept`; its
// confinement ends once its processes are gone, before anyone else can
// have the account.
void release_account(std::uint32_t uid, const std::string& username, const SweepMark& swept, SharedPool pool,
                     std::shared_ptr<AccountNamespaces> namespaces) {
  const bool killed = kill_user_processes(uid);
  if (namespaces) namespaces->end();
  std::optional<SweepMark> clean_since;
  // Leftovers are removed only once nothing of the account runs: a live
  // process could make new ones during the walk.
  if (killed) {
    const SweepMark begun = sweep_mark_now();
    const std::vector<std::string> problems = remove_account_leftovers(uid, username, begun, swept);
    for (const std::string& problem : problems) report_line(std::string(kLeftoverReport) + problem);
    if (problems.empty()) clean_since = begun;
  }
  if (!pool) return;
  int event_fd = -1;
  {
    auto guard = pool->lock();
    UserPool& p = *guard;
    if (!killed) {
      set_aside(p, uid, "processes of uid " + std::to_string(uid) + " outlived the release");
    } else {
      auto it = std::find_if(p.user.begin(), p.user.end(), [&](const AccountEntry& e) { return e.uid == uid; });
      if (it != p.user.end()) {
        AccountEntry back = *it;
        back.clean_since = clean_since;
        p.free_user.push_back(std::move(back));
        event_fd = p.released.get();
      }
    }
  }
  notify_release(event_fd);
}

// Waits until `event_fd` says an account was released; false when the
// call must end (`kind` says why).
bool wait_for_release(int event_fd, const WaitLimits& wait, AllocFailure::Kind& kind) {
  WaitLimits slice = wait;
  if (event_fd < 0) {
    // No event to wait on: look again every few milliseconds.
    const auto soon = WaitClock::now() + std::chrono::milliseconds(10);
    slice.deadline = wait.deadline ? std::min(*wait.deadline, soon) : soon;
  }
  switch (wait_fd(event_fd, POLLIN, -1, slice)) {
    case WaitResult::kInterrupted: kind = AllocFailure::Kind::kInterrupted; return false;
    case WaitResult::kTimedOut:
      if (wait.deadline && WaitClock::now() >= *wait.deadline) {
        kind = AllocFailure::Kind::kTimedOut;
        return false;
      }
      return true;
    default: return true;
  }
}

// The empty check installed while a lock is held (see the header).
const WaitCheck& no_check() {
  static const WaitCheck none;
  return none;
}

}  // namespace

UserPool::UserPool(std::uint32_t max, Confinement c)
    : max_user(max), confinement(c), released(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  const std::size_t room = std::min<std::size_t>(max, kReserveLimit);
  user.reserve(room);
  free_user.reserve(room);
}

SharedPool make_user_pool(std::uint32_t max_user, Confinement confinement) {
  // Where tenants can leave files is looked up again for each pool, in the
  // background: it reads every directory of the host.
  refresh_writable_places();
  return std::make_shared<Mutex<UserPool>>(std::in_place, max_user, confinement);
}

std::optional<std::uint32_t> parse_uid_line(std::string_view output) {
  std::string_view line = output.substr(0, output.find('\n'));
  if (line.size() < output.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!line.empty() && line.front() == '+') line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  std::uint32_t uid = 0;
  const char* end = line.data() + line.size();
  auto [ptr, ec] = std::from_chars(line.data(), end, uid);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return uid;
}

std::optional<std::uint32_t> userid(std::string_view name) {
  Expected<HostOutput, int> run = run_host_command({"id", "-u", std::string(name)});
  if (!run) panic("Failed to execute the command `id`");
  if (!run->success()) return std::nullopt;
  if (!is_valid_utf8(run->out)) {
    report_line("Failed to convert the result back to a valid utf-8 string");
    return std::nullopt;
  }
  return parse_uid_line(run->out);
}

std::string pool_full_reason(std::uint32_t max_user) {
  return "all " + std::to_string(max_user) + (max_user == 1 ? " account is" : " accounts are") + " in use";
}

Expected<SharedUser, AllocFailure> allocate_user(SharedPool pool, bool may_wait, const WaitLimits& wait) {
  using Kind = AllocFailure::Kind;
  ScopedWaitCheck ambient(wait.check);
  // A home root that is a link or foreign is the host's problem, not the
  // account's: nothing is taken or set aside for it.
  auto root = open_home_root(kHomeRoot);
  if (!root) return Unexpected(AllocFailure{Kind::kFailed, std::move(root).error(), {}});
  std::string failure;
  for (int attempt = 0; attempt < kMaxSetAside;) {
    AccountEntry entry{};
    Confinement confinement;
    std::optional<std::uint32_t> full;  // the capacity, when no account is free
    int event_fd = -1;
    {
      ScopedWaitCheck quiet(no_check());
      auto guard = pool->lock();
      UserPool& p = *guard;
      confinement = p.confinement;
      if (p.free_user.empty()) {
        if (!(p.user.size() <= p.max_user)) panic("assertion failed: self.user.len() <= self.max_user");
        if (p.user.size() == p.max_user) {
          // Any release from now on writes the event after this.
          drain_releases(p.released.get());
          event_fd = p.released.get();
          full = p.max_user;
        } else {
          Expected<MadeAccount, std::string> made = make_account(guard);
          if (!made) return Unexpected(AllocFailure{Kind::kFailed, kAllocFailed, std::move(made).error()});
          p.claims[made->entry.username] = std::move(made->claim);
          p.user.push_back(made->entry);
          p.free_user.push_back(std::move(made->entry));
        }
      }
      if (!full) {
        entry = std::move(p.free_user.back());
        p.free_user.pop_back();
      }
    }
    if (full) {
      Kind why = Kind::kFailed;
      if (!may_wait || !wait_for_release(event_fd, wait, why)) {
        return Unexpected(AllocFailure{why, kAllocFailed, pool_full_reason(*full)});
      }
      continue;
    }

    Expected<std::string, std::string> home = prepare_account(entry, root->get());
    if (home) {
      const std::string name = entry.username;
      auto user = std::make_shared<Mutex<User>>(std::in_place, std::move(entry.username), entry.uid,
                                                std::move(*home), std::move(pool), *entry.clean_since);
      if (!confinement.confines()) return user;
      // On failure the User's release puts the account back.
      auto ns = AccountNamespaces::create(confinement, name);
      if (!ns) return Unexpected(AllocFailure{Kind::kFailed, std::move(ns).error(), {}});
      user->lock()->set_namespaces(std::move(*ns));
      return user;
    }
    // Never handed out, and not to be handed out as it is: out of the
    // pool's count (its place goes to the next name), still claimed.
    failure = std::move(home).error();
    {
      auto guard = pool->lock();
      set_aside(*guard, entry.uid, failure);
    }
    ++attempt;
  }
  return Unexpected(AllocFailure{Kind::kFailed, std::move(failure),
                                 std::to_string(kMaxSetAside) + " accounts in a row could not be prepared"});
}

Expected<SharedUser, std::string> alloc_user(SharedPool pool) {
  auto user = allocate_user(std::move(pool), false, WaitLimits{});
  if (!user) return Unexpected(std::move(user).error().message);
  return std::move(*user);
}

User::User(std::string username, std::uint32_t uid, std::string home, SharedPool pool, const SweepMark& swept)
    : username_(std::move(username)), uid_(uid), home_(std::move(home)), pool_(std::move(pool)), swept_(swept),
      creator_(::getpid()) {}

bool User::mine() const { return ::getpid() == creator_; }

User::~User() {
  // A copy inherited by a forked process: the account is the parent's.
  if (released_ || !mine()) return;
  released_ = true;
  try {
    release_account(uid_, username_, swept_, std::move(pool_), std::move(namespaces_));
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

bool release_user(Mutex<User>& cell) {
  std::uint32_t uid = 0;
  std::string username;
  SweepMark swept;
  SharedPool pool;
  std::shared_ptr<AccountNamespaces> namespaces;
  {
    auto user = cell.lock();
    if (user->released_ || !user->mine()) return false;
    user->released_ = true;
    uid = user->uid_;
    username = user->username_;
    swept = user->swept_;
    pool = std::move(user->pool_);
    namespaces = std::move(user->namespaces_);
  }
  release_account(uid, username, swept, std::move(pool), std::move(namespaces));
  return true;
}

}  // namespace ferrowick
