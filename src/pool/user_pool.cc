#include "pool/user_pool.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <utility>

#include "pool/account_processes.h"
#include "pool/home_dir.h"
#include "pool/host_process.h"

namespace ferrowick {

namespace {

const char* const kAllocFailed = "Failed to allocate a new user account";

void report_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// `useradd` fails while another one holds the account database lock, so all
// pools of this process add accounts one at a time.
std::mutex& useradd_mutex() {
  static std::mutex mu;
  return mu;
}

// Names the pool's next account and finds it on the host, creating it with
// `useradd` when it does not exist yet. Runs under the pool lock.
Expected<AccountEntry, std::string> make_account(UserPool& pool) {
  std::string name = pool.rng.next_name();
  std::optional<std::uint32_t> uid = userid(name);
  if (!uid) {
    Expected<HostOutput, int> run = [&] {
      std::lock_guard<std::mutex> lock(useradd_mutex());
      return run_host_command({"useradd", name});
    }();
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
  return AccountEntry{*uid, std::move(name)};
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
  AccountEntry entry{};
  {
    auto guard = pool->lock();
    UserPool& p = *guard;
    if (p.free_user.empty()) {
      if (!(p.user.size() <= p.max_user)) panic("assertion failed: self.user.len() <= self.max_user");
      if (p.user.size() == p.max_user) return Unexpected(std::string(kAllocFailed));
      Expected<AccountEntry, std::string> made = make_account(p);
      if (!made) return Unexpected(std::move(made).error());
      p.user.push_back(*made);
      p.free_user.push_back(std::move(*made));
    }
    entry = std::move(p.free_user.back());
    p.free_user.pop_back();
  }

  Expected<std::string, std::string> home = prepare_home(entry.username, entry.uid);
  if (!home) {
    // The account was never handed out: keep it ready rather than losing a
    // place of the pool for good.
    pool->lock()->free_user.push_back(std::move(entry));
    return Unexpected(std::move(home).error());
  }
  return std::make_shared<Mutex<User>>(std::in_place, std::move(entry.username), entry.uid,
                                       std::move(*home), std::move(pool));
}

User::User(std::string username, std::uint32_t uid, std::string home, SharedPool pool)
    : username_(std::move(username)), uid_(uid), home_(std::move(home)), pool_(std::move(pool)) {}

User::~User() {
  try {
    kill_user_processes(uid_);
    if (pool_) {
      SharedPool pool = std::move(pool_);
      auto guard = pool->lock();
      const auto& all = guard->user;
      auto it = std::find_if(all.begin(), all.end(),
                             [this](const AccountEntry& e) { return e.uid == uid_; });
      if (it != all.end()) guard->free_user.push_back(*it);
    }
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

}  // namespace ferrowick
