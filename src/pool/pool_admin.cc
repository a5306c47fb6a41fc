#include "pool/pool_admin.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "common/system_error.h"
#include "common/utf8.h"
#include "pool/account_claims.h"
#include "pool/account_leftovers.h"
#include "pool/account_namespaces.h"
#include "pool/account_processes.h"
#include "pool/home_dir.h"
#include "pool/host_command.h"
#include "pool/name_generator.h"
#include "pool/tree_sweep.h"

namespace ferrowick {

namespace {

bool looks_generated(std::string_view name) {
  if (name.size() != NameGenerator::kPrefix.size() + NameGenerator::kNameChars) return false;
  if (name.substr(0, NameGenerator::kPrefix.size()) != NameGenerator::kPrefix) return false;
  for (char c : name.substr(NameGenerator::kPrefix.size()))
    if (NameGenerator::kAlphabet.find(c) == std::string_view::npos) return false;
  return true;
}

// Accounts of the host whose names have the generator's shape.
std::unordered_map<std::string, std::uint32_t> candidate_accounts() {
  std::unordered_map<std::string, std::uint32_t> found;
  ::setpwent();
  struct passwd entry, *result = nullptr;
  std::vector<char> buf(16384);
  while (::getpwent_r(&entry, buf.data(), buf.size(), &result) == 0 && result) {
    if (looks_generated(entry.pw_name)) found.emplace(entry.pw_name, entry.pw_uid);
  }
  ::endpwent();
  return found;
}

void report_line(const std::string& text) {
  std::string line = text + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Removes whatever sits at the home path of `username`.
Expected<void, std::string> remove_home(std::string_view username) {
  auto root = open_home_root(kHomeRoot);
  if (!root) return Unexpected(std::move(root).error());
  const std::string leaf(username);
  struct stat st;
  if (::fstatat(root->get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {};
    return Unexpected("Failed to remove the home of " + leaf + ": " + system_error_text(errno));
  }
  int rc = S_ISDIR(st.st_mode) ? remove_tree_at(root->get(), leaf.c_str())
                               : (::unlinkat(root->get(), leaf.c_str(), 0) == 0 ? 0 : errno);
  if (rc != 0) return Unexpected("Failed to remove the home of " + leaf + ": " + system_error_text(rc));
  return {};
}

}  // namespace

std::vector<HostAccount> host_pool_accounts() {
  auto candidates = candidate_accounts();
  std::vector<HostAccount> accounts;
  NameGenerator names;
  for (std::size_t i = 0; i < kKnownPoolNames && accounts.size() < candidates.size(); ++i) {
    std::string name = names.next_name();
    auto it = candidates.find(name);
    if (it == candidates.end()) continue;
    HostAccount a{name, it->second, is_claimed(name), {}, std::string(kHomeRoot) + "/" + name, false};
    if (a.uid != 0) a.processes = live_processes_of(a.uid);
    struct stat st;
    a.home_exists = ::lstat(a.home.c_str(), &st) == 0;
    accounts.push_back(std::move(a));
  }
  return accounts;
}

Expected<void, std::string> purge_account(std::string_view username) {
  const std::string name(username);
  auto candidates = candidate_accounts();
  auto it = candidates.find(name);
  if (it == candidates.end()) return Unexpected("No pool account named " + name);
  bool known = false;
  NameGenerator names;
  for (std::size_t i = 0; i < kKnownPoolNames && !known; ++i) known = names.next_name() == name;
  if (!known || it->second == 0) return Unexpected(name + " is not a pool account");
  const std::uint32_t uid = it->second;

  auto claim = try_claim(name);
  if (!claim) return Unexpected(std::move(claim).error());
  if (!*claim) return Unexpected(name + " is managed by a live pool");

  if (!kill_user_processes(uid)) return Unexpected("Processes of " + name + " are still alive");
  for (const std::string& problem : remove_account_leftovers(uid, name)) {
    report_line(name + ": " + problem);
  }
  for (const std::string& problem : remove_private_places(name)) {
    report_line(name + ": " + problem);
  }
  if (auto home = remove_home(name); !home) return home;

  auto db = lock_account_database();
  if (!db) return Unexpected(std::move(db).error());
  auto run = run_host_command({"userdel", name});
  if (!run) return Unexpected("Failed to execute the command `userdel`: " + system_error_text(run.error()));
  if (!run->success()) {
    return Unexpected("Failed to delete the account " + name + ": " +
                      (is_valid_utf8(run->err) ? run->err : std::string()));
  }
  retire_claim(name);
  return {};
}

}  // namespace ferrowick
