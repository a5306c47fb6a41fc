#include "pool/group_stock.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include "common/system_error.h"

namespace ferrowick {

namespace {

constexpr std::chrono::microseconds kBusyStep{500};
// How long removing a killed tree's group may wait for its exiting processes.
constexpr std::chrono::seconds kTeardownLimit{3};

// Every live stock, for the fork handlers.
std::mutex g_stocks_mu;
std::vector<GroupStock*> g_stocks;

}  // namespace

UniqueFd open_group_dir(int parent, const char* path) {
  int fd;
  do fd = ::openat(parent, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

std::string next_group_name() {
  static std::atomic<std::uint64_t> counter{0};
  return "ferrowick-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

Expected<MadeGroup, std::string> make_group(const CgroupDirOps& ops, const std::vector<std::string>& shape,
                                            const std::string& name) {
  MadeGroup group{name, {}};
  for (const std::string& dir : shape) {
    const std::string path = dir + "/" + name;
    UniqueFd parent = open_group_dir(AT_FDCWD, dir.c_str());
    int err = parent.valid() ? ops.make(parent.get(), name.c_str(), path) : errno;
    if (err != 0) {
      remove_group(ops, group, WaitClock::now());
      return Unexpected((parent.valid() ? "cannot make the group " + path : "cannot open " + dir) + ": " +
                        system_error_text(err));
    }
    group.dirs.push_back({dir, path, {}, {}});
  }
  return group;
}

Expected<void, std::string> open_group(MadeGroup& group) {
  for (MadeGroup::Dir& d : group.dirs) {
    d.fd = open_group_dir(AT_FDCWD, d.path.c_str());
    if (!d.fd.valid()) return Unexpected("cannot open " + d.path + ": " + system_error_text(errno));
    d.procs.reset(::openat(d.fd.get(), "cgroup.procs", O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!d.procs.valid()) return Unexpected("cannot open " + d.path + "/cgroup.procs: " + system_error_text(errno));
  }
  return {};
}

void remove_group(const CgroupDirOps& ops, MadeGroup& group, WaitClock::time_point deadline) {
  for (MadeGroup::Dir& d : group.dirs) {
    d.procs.reset();
    d.fd.reset();
    UniqueFd parent = open_group_dir(AT_FDCWD, d.hierarchy.c_str());
    int err = parent.valid() ? 0 : errno;
    while (parent.valid()) {
      err = ops.remove(parent.get(), group.name.c_str(), d.path);
      if (err != EBUSY || WaitClock::now() >= deadline) break;
      std::this_thread::sleep_for(kBusyStep);
    }
    if (err != 0 && err != ENOENT)
      std::fprintf(stderr, "⚠️ Failed to remove the control group %s: %s\n", d.path.c_str(),
                   system_error_text(err).c_str());
  }
  group.dirs.clear();
}

GroupStock::GroupStock(CgroupDirOps ops, std::vector<std::string> shape, std::size_t depth)
    : ops_(std::move(ops)), shape_(std::move(shape)), depth_(depth) {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  std::lock_guard<std::mutex> lk(g_stocks_mu);
  g_stocks.push_back(this);
}

GroupStock::~GroupStock() {
  stop();
  std::lock_guard<std::mutex> lk(g_stocks_mu);
  g_stocks.erase(std::find(g_stocks.begin(), g_stocks.end(), this));
}

std::optional<MadeGroup> GroupStock::take(const std::vector<std::string>& shape) {
  if (shape != shape_) return std::nullopt;
  BlockingLock lk(mu_);
  make_failed_ = false;
  if (ready_.empty()) return std::nullopt;
  std::optional<MadeGroup> group(std::move(ready_.back()));
  ready_.pop_back();
  return group;
}

void GroupStock::remove_later(MadeGroup group) {
  {
    BlockingLock lk(mu_);
    if (!stopped_ && doomed_.size() < kMaxDoomed) {
      doomed_.push_back(std::move(group));
      return;
    }
  }
  remove_group(ops_, group, WaitClock::now() + kTeardownLimit);
}

void GroupStock::remove_doomed(std::size_t most) {
  std::vector<MadeGroup> doomed;
  {
    BlockingLock lk(mu_);
    const std::size_t n = std::min(most, doomed_.size());
    doomed.assign(std::make_move_iterator(doomed_.begin()), std::make_move_iterator(doomed_.begin() + n));
    doomed_.erase(doomed_.begin(), doomed_.begin() + n);
    removing_ += n;
  }
  // The trees were killed before the groups were handed over: only exiting
  // processes can still hold one, for moments.
  for (MadeGroup& g : doomed) remove_group(ops_, g, WaitClock::now() + kTeardownLimit);
  BlockingLock lk(mu_);
  removing_ -= doomed.size();
  removed_.notify_all();
}

void GroupStock::set_sweep(std::function<void()> sweep, std::chrono::seconds interval) {
  BlockingLock lk(mu_);
  sweep_ = std::move(sweep);
  sweep_interval_ = interval;
  next_sweep_ = WaitClock::now() + interval;
}

void GroupStock::tend() {
  remove_doomed(2);
  std::function<void()> sweep;
  {
    BlockingLock lk(mu_);
    if (sweep_ && WaitClock::now() >= next_sweep_) {
      sweep = sweep_;
      next_sweep_ = WaitClock::now() + sweep_interval_;
    }
  }
  if (sweep) sweep();
  for (;;) {
    {
      BlockingLock lk(mu_);
      if (stopped_ || make_failed_ || ready_.size() + making_ >= depth_) return;
      ++making_;
    }
    auto made = make_group(ops_, shape_, next_group_name());
    BlockingLock lk(mu_);
    --making_;
    if (!made) {
      make_failed_ = true;
      return;
    }
    if (stopped_) {
      doomed_.push_back(std::move(*made));  // for stop()'s or flush()'s removal
      return;
    }
    ready_.push_back(std::move(*made));
  }
}

void GroupStock::flush() {
  remove_doomed(SIZE_MAX);
  BlockingLock lk(mu_);
  while (removing_ != 0) lk.wait(removed_);
}

void GroupStock::stop() {
  std::vector<MadeGroup> ready;
  {
    BlockingLock lk(mu_);
    stopped_ = true;
    ready.swap(ready_);
  }
  for (MadeGroup& g : ready) remove_group(ops_, g, WaitClock::now());
  flush();
}

std::size_t GroupStock::ready() const {
  BlockingLock lk(mu_);
  return ready_.size();
}

std::size_t GroupStock::doomed() const {
  BlockingLock lk(mu_);
  return doomed_.size();
}

void GroupStock::before_fork() {
  g_stocks_mu.lock();
  for (GroupStock* s : g_stocks) s->mu_.lock();
}

void GroupStock::after_fork_in_parent() {
  for (GroupStock* s : g_stocks) s->mu_.unlock();
  g_stocks_mu.unlock();
}

// The groups a forked child inherits in its copy are the parent's: it
// forgets them, closing only its own descriptors. (Threads that were
// removing or making groups do not exist in the child.)
void GroupStock::after_fork_in_child() {
  for (GroupStock* s : g_stocks) {
    s->ready_.clear();
    s->doomed_.clear();
    s->removing_ = 0;
    s->making_ = 0;
    s->make_failed_ = false;
    // The copy may count a parent's thread as a waiter, which would
    // swallow wake-ups (and a condition variable with waiters cannot be
    // destroyed): a fresh one takes its place.
    new (&s->removed_) std::condition_variable();
    s->mu_.unlock();
  }
  g_stocks_mu.unlock();
}

}  // namespace ferrowick
