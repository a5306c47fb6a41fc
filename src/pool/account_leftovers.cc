#include "pool/account_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/system_error.h"
#include "common/unique_fd.h"
#include "pool/home_dir.h"
#include "pool/host_command.h"
#include "pool/kernel_leftovers.h"
#include "pool/launcher.h"
#include "pool/tree_sweep.h"
#include "pool/writable_places.h"

namespace ferrowick {

namespace {

// How many passes over the places a removal makes at most: the last one
// must find nothing of the account.
constexpr int kMaxPasses = 6;

// True when `dir` holds an entry owned by `uid` (not looking further down).
bool owns_entry_in(const char* dir, std::uint32_t uid) {
  UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  const int dup = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
  DIR* d = dup >= 0 ? ::fdopendir(dup) : nullptr;
  if (!d) {
    if (dup >= 0) ::close(dup);
    return false;
  }
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    struct stat st;
    if (e->d_name[0] != '.' && ::fstatat(fd.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == uid) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

bool on_path(const std::string& tool) {
  std::string path;
  return find_program(tool, path) == 0;
}

void run_quietly(const std::vector<std::string>& argv, std::vector<std::string>& problems) {
  auto run = run_host_command(argv);
  if (!run) problems.push_back("could not run `" + argv[0] + "`: " + system_error_text(run.error()));
}

// The account's crontab and `at` jobs, where the tools exist and the spools
// show some (so that a release starts no process in the usual case).
// `crontab -r` fails when there is none; that is no problem.
void remove_scheduled_jobs(std::uint32_t uid, std::string_view username, std::vector<std::string>& problems) {
  const std::string name(username);
  struct stat st;
  const bool crontab = ::lstat(("/var/spool/cron/crontabs/" + name).c_str(), &st) == 0 ||
                       ::lstat(("/var/spool/cron/" + name).c_str(), &st) == 0;
  if (crontab && on_path("crontab")) {
    auto run = run_host_command({"crontab", "-u", name, "-r"});
    if (!run) problems.push_back("could not run `crontab`: " + system_error_text(run.error()));
  }
  // `at` job files belong to the user who made them.
  if (!owns_entry_in("/var/spool/cron/atjobs", uid) && !owns_entry_in("/var/spool/at", uid)) return;
  if (!on_path("atq") || !on_path("atrm")) return;
  auto listed = run_host_command({"atq"});  // as root: every user's jobs
  if (!listed || !listed->success()) return;
  std::istringstream lines(listed->out);
  for (std::string line; std::getline(lines, line);) {
    // "<job>\t<date> <queue> <user>"
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.size() >= 2 && words.back() == name) run_quietly({"atrm", words.front()}, problems);
  }
}

}  // namespace

SweepMark sweep_mark_now() {
  SweepMark mark;
  ::clock_gettime(CLOCK_REALTIME, &mark.wall);
  ::clock_gettime(CLOCK_BOOTTIME, &mark.boot);
  mark.places = &writable_places();
  return mark;
}

std::optional<timespec> examine_changes_from(const SweepMark& last, const SweepMark& now) {
  constexpr std::int64_t kNs = 1'000'000'000;
  constexpr std::int64_t kMargin = std::chrono::nanoseconds(kClockMargin).count();
  if (last.places != now.places) return std::nullopt;  // lists are kept only when they differ
  auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * kNs + t.tv_nsec; };
  const std::int64_t set_by = (ns(now.wall) - ns(last.wall)) - (ns(now.boot) - ns(last.boot));
  if (set_by > kMargin / 4 || set_by < -kMargin / 4) return std::nullopt;
  const std::int64_t from = ns(last.wall) - kMargin;
  if (from < 0) return std::nullopt;
  return timespec{static_cast<time_t>(from / kNs), static_cast<long>(from % kNs)};
}

std::vector<std::string> remove_files_of(std::uint32_t uid, const std::vector<std::string>& places,
                                         std::string_view home_root, std::optional<timespec> changed_since) {
  SweepRule rule;
  rule.owner = uid;
  rule.changed_since = changed_since;
  struct stat st;
  if (::lstat(std::string(home_root).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    rule.skip.emplace_back(st.st_dev, st.st_ino);
  }
  std::vector<std::string> problems;
  bool found = false;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    problems.clear();
    found = false;
    bool moved = false;
    std::vector<std::pair<dev_t, ino_t>> done;
    for (const std::string& place : places) {
      // The places themselves are the host's (one may be a link to another);
      // below them nothing is followed.
      UniqueFd fd(::open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!fd.valid() || ::fstat(fd.get(), &st) != 0) continue;
      std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
      if (std::find(done.begin(), done.end(), id) != done.end()) continue;
      done.push_back(id);
      const SweepOutcome outcome = sweep_tree(fd.get(), rule);
      found = found || outcome.matched > 0 || outcome.error != 0;
      moved = moved || outcome.moved > 0;
      if (outcome.error) problems.push_back("leftovers in " + place + ": " + system_error_text(outcome.error));
    }
    // Clean only when a whole pass met nothing of the account and nothing
    // moved under it: what one pass removed, could not reach or may have
    // missed, the next one checks again.
    if (!found && !moved) return {};
  }
  // Directories of others come and go in shared places: a last pass that
  // found nothing of the account, though things moved, is clean enough.
  if (!found) return {};
  if (problems.empty()) problems.push_back("entries of uid " + std::to_string(uid) + " keep coming back");
  return problems;
}

std::vector<std::string> remove_account_leftovers(std::uint32_t uid, std::string_view username) {
  return remove_account_leftovers(uid, username, sweep_mark_now(), std::nullopt);
}

std::vector<std::string> remove_account_leftovers(std::uint32_t uid, std::string_view username,
                                                  const SweepMark& begun, const std::optional<SweepMark>& last) {
  if (uid == 0) return {"refusing to remove the files of uid 0"};
  const std::optional<timespec> since = last ? examine_changes_from(*last, begun) : std::nullopt;
  std::vector<std::string> problems =
      remove_files_of(uid, begun.places ? *begun.places : writable_places(), kHomeRoot, since);
  for (auto* kernel : {remove_ipc_of, remove_message_queues_of, remove_keys_of}) {
    for (std::string& p : kernel(uid)) problems.push_back(std::move(p));
  }
  remove_scheduled_jobs(uid, username, problems);
  return problems;
}

}  // namespace ferrowick
