#include "pool/user_pool.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "common/utf8.h"
#include "pool/account_leftovers.h"
#include "pool/account_processes.h"
#include "pool/home_dir.h"
#include "pool/host_command.h"

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
// yet. Takes the pool's guard: it runs under the pool lock.
Expected<MadeAccount, std::string> make_account(const Mutex<UserPool>::Guard& pool) {
  std::string name;
  AccountClaim claim;
  for (int skipped = 0; !claim.held(); ++skipped) {
    if (skipped == kMaxSkippedNames) return Unexpected(std::string(kAllocFailed));
    name = pool->rng.next_name();
    auto got = try_claim(name);
    if (!got) {
      report_line(got.error());
      return Unexpected(std::string(kAllocFailed));
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
      return Unexpected(std::string(kAllocFailed));
    }
    Expected<HostOutput, int> run = run_host_command({"useradd", name});
    if (!run) panic("Failed to execute the command `useradd`");
    if (!run->success()) {
      std::string line = "Failed to create the user account: ";
      if (is_valid_utf8(run->err)) line += run->err;
      report_line(line);
      return Unexpected(std::string(kAllocFailed));
    }
    uid = userid(name);
    if (!uid) return Unexpected(std::string(kAllocFailed));
  }
  // An account of this name that is root would hand root shells out and
  // make release kill every root process: never adopt it.
  if (*uid == 0) return Unexpected(std::string(kAllocFailed));
  return MadeAccount{AccountEntry{*uid, std::move(name)}, std::move(claim)};
}

// Brings a free account to the state a tenant gets: no process of it
// running, none of its files left in the shared places, a fresh home.
Expected<std::string, std::string> prepare_account(const AccountEntry& entry, int root_fd) {
  if (!kill_remaining_processes(entry.uid)) {
    return Unexpected("processes of uid " + std::to_string(entry.uid) + " still alive after signal 9");
  }
  if (!entry.clean) {
    for (const std::string& problem : remove_account_leftovers(entry.uid, entry.username)) {
      report_line(std::string(kLeftoverReport) + problem);
    }
  }
  return prepare_home_at(root_fd, kHomeRoot, entry.username, entry.uid);
}

}  // namespace

UserPool::UserPool(std::uint32_t max) : max_user(max) {
  const std::size_t room = std::min<std::size_t>(max, kReserveLimit);
  user.reserve(room);
  free_user.reserve(room);
}

SharedPool make_user_pool(std::uint32_t max_user) {
  return std::make_shared<Mutex<UserPool>>(std::in_place, max_user);
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

Expected<SharedUser, std::string> alloc_user(SharedPool pool) {
  // A home root that is a link or foreign is the host's problem, not the
  // account's: nothing is taken or set aside for it.
  auto root = open_home_root(kHomeRoot);
  if (!root) return Unexpected(std::move(root).error());
  std::string failure;
  for (int attempt = 0; attempt < kMaxSetAside; ++attempt) {
    AccountEntry entry{};
    {
      auto guard = pool->lock();
      UserPool& p = *guard;
      if (p.free_user.empty()) {
        if (!(p.user.size() <= p.max_user)) panic("assertion failed: self.user.len() <= self.max_user");
        if (p.user.size() == p.max_user) return Unexpected(std::string(kAllocFailed));
        Expected<MadeAccount, std::string> made = make_account(guard);
        if (!made) return Unexpected(std::move(made).error());
        p.claims[made->entry.username] = std::move(made->claim);
        p.user.push_back(made->entry);
        p.free_user.push_back(std::move(made->entry));
      }
      entry = std::move(p.free_user.back());
      p.free_user.pop_back();
    }

    Expected<std::string, std::string> home = prepare_account(entry, root->get());
    if (home) {
      return std::make_shared<Mutex<User>>(std::in_place, std::move(entry.username), entry.uid,
                                           std::move(*home), std::move(pool));
    }
    // Never handed out, and not to be handed out as it is: out of the
    // pool's count (its place goes to the next name), still claimed.
    failure = std::move(home).error();
    report_line(std::string(kSetAsideReport) + entry.username + ": " + failure);
    auto guard = pool->lock();
    auto& all = guard->user;
    all.erase(std::remove_if(all.begin(), all.end(), [&](const AccountEntry& e) { return e.uid == entry.uid; }),
              all.end());
    entry.clean = false;
    guard->set_aside.push_back(std::move(entry));
  }
  return Unexpected(std::move(failure));
}

User::User(std::string username, std::uint32_t uid, std::string home, SharedPool pool)
    : username_(std::move(username)), uid_(uid), home_(std::move(home)), pool_(std::move(pool)),
      creator_(::getpid()) {}

User::~User() {
  // A copy inherited by a forked process: the account is the parent's.
  if (::getpid() != creator_) return;
  try {
    bool clean = kill_user_processes(uid_);
    for (const std::string& problem : remove_account_leftovers(uid_, username_)) {
      report_line(std::string(kLeftoverReport) + problem);
      clean = false;
    }
    if (pool_) {
      SharedPool pool = std::move(pool_);
      auto guard = pool->lock();
      const auto& all = guard->user;
      auto it = std::find_if(all.begin(), all.end(),
                             [this](const AccountEntry& e) { return e.uid == uid_; });
      if (it != all.end()) {
        AccountEntry back = *it;
        back.clean = clean;
        guard->free_user.push_back(std::move(back));
      }
    }
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

}  // namespace ferrowick
