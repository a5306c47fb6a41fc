#include "pool/account_namespaces.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/system_error.h"
#include "pool/home_dir.h"
#include "pool/tree_sweep.h"

namespace ferrowick {

namespace {

const std::string kConfineFailed = "Failed to confine the account: ";

std::string failure(const std::string& what, int err) { return kConfineFailed + what + ": " + system_error_text(err); }

int loopback_up() {
  UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return errno;
  struct ifreq ifr {};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(sock.get(), SIOCGIFFLAGS, &ifr) != 0) return errno;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  return ::ioctl(sock.get(), SIOCSIFFLAGS, &ifr) == 0 ? 0 : errno;
}

// A new network namespace with loopback up, made by a thread of its own:
// a network namespace belongs to a thread, so neither this process's other
// threads nor any child ever sees it, and it lives on through the
// descriptor once the thread has ended.
Expected<UniqueFd, std::string> new_network_namespace() {
  UniqueFd ns;
  int err = 0;
  try {
    std::thread maker([&] {
      if (::unshare(CLONE_NEWNET) != 0) {
        err = errno;
        return;
      }
      ns.reset(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
      err = ns.valid() ? loopback_up() : errno;
    });
    maker.join();
  } catch (const std::system_error& e) {
    err = e.code().value();
  }
  if (err != 0) return Unexpected(failure("network namespace", err));
  return ns;
}

// <place>/ferrowick-private, made (root, 0700) when `create` and missing.
// An invalid descriptor when the place or (without `create`) the directory
// does not exist; a link or a directory of another owner is refused.
Expected<UniqueFd, std::string> open_private_root(const char* place, bool create) {
  UniqueFd dir(::open(place, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    if (errno == ENOENT) return UniqueFd();
    return Unexpected(failure(place, errno));
  }
  const std::string path = std::string(place) + "/" + kPrivateDirName;
  if (create && ::mkdirat(dir.get(), kPrivateDirName, 0700) != 0 && errno != EEXIST) {
    return Unexpected(failure(path, errno));
  }
  UniqueFd root(::openat(dir.get(), kPrivateDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) {
    if (errno == ENOENT && !create) return UniqueFd();
    return Unexpected(failure(path, errno == ELOOP ? ENOTDIR : errno));
  }
  struct stat st;
  if (::fstat(root.get(), &st) != 0) return Unexpected(failure(path, errno));
  if (st.st_uid != 0) return Unexpected(kConfineFailed + path + " is not owned by root; refusing to use it");
  if ((st.st_mode & 077) != 0 && ::fchmod(root.get(), 0700) != 0) return Unexpected(failure(path, errno));
  return root;
}

// Makes directory `name` in `dirfd`, root's, with exactly `mode`.
Expected<UniqueFd, std::string> make_dir(int dirfd, const std::string& name, mode_t mode, const std::string& path) {
  if (::mkdirat(dirfd, name.c_str(), 0700) != 0) return Unexpected(failure(path, errno));
  UniqueFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || ::fchmod(fd.get(), mode) != 0) return Unexpected(failure(path, errno));
  return fd;
}

// The home root's name in /tmp, or "" when the home root lies elsewhere.
std::string home_leaf_in_tmp() {
  constexpr std::string_view kTmp = "/tmp/";
  std::string_view root = kHomeRoot;
  if (root.substr(0, kTmp.size()) != kTmp) return {};
  root.remove_prefix(kTmp.size());
  return root.find('/') == std::string_view::npos ? std::string(root) : std::string();
}

void report(const std::string& text) {
  std::string line = "\xE2\x9A\xA0\xEF\xB8\x8F Failed to remove the private places of the user: " + text + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::vector<std::string> remove_private_places(std::string_view username) {
  std::vector<std::string> problems;
  const std::string name(username);
  for (const char* place : kPrivatePlaces) {
    auto root = open_private_root(place, false);
    if (!root) {
      problems.push_back(std::move(root).error());
      continue;
    }
    if (!root->valid()) continue;
    int rc = remove_tree_at(root->get(), name.c_str());
    if (rc != 0 && rc != ENOENT) {
      problems.push_back(std::string(place) + "/" + kPrivateDirName + "/" + name + ": " + system_error_text(rc));
    }
  }
  return problems;
}

Expected<std::unique_ptr<AccountNamespaces>, std::string> AccountNamespaces::create(const Confinement& confinement,
                                                                                    std::string_view username) {
  std::unique_ptr<AccountNamespaces> ns(new AccountNamespaces());
  ns->creator_ = ::getpid();
  ns->username_ = username;
  ns->home_leaf_ = home_leaf_in_tmp();
  ChildConfinement& child = ns->child_;
  child.hide_processes = !confinement.host_processes;
  child.no_new_privs = !confinement.setuid_programs;
  if (!confinement.network) {
    auto netns = new_network_namespace();
    if (!netns) return Unexpected(std::move(netns).error());
    ns->netns_ = std::move(*netns);
    child.netns_fd = ns->netns_.get();
  }
  if (!confinement.private_tmp) return ns;

  // From here on the destructor removes whatever was made.
  child.account = ns->username_.c_str();
  const std::string& name = ns->username_;
  for (std::size_t i = 0; i < kPrivatePlaceCount; ++i) {
    auto root = open_private_root(kPrivatePlaces[i], true);
    if (!root) return Unexpected(std::move(root).error());
    if (!root->valid()) continue;
    const std::string path = std::string(kPrivatePlaces[i]) + "/" + kPrivateDirName + "/" + name;
    if (int rc = remove_tree_at(root->get(), name.c_str()); rc != 0 && rc != ENOENT) {
      return Unexpected(failure(path, rc));
    }
    child.backed[i] = true;
    // Sticky and writable by all, as the place it stands for; only the
    // account's own sessions ever see it.
    auto copy = make_dir(root->get(), name, 01777, path);
    if (!copy) return Unexpected(std::move(copy).error());
    if (i != 0 || ns->home_leaf_.empty()) continue;
    // The mount point where the home reappears inside the private /tmp.
    auto leaf = make_dir(copy->get(), ns->home_leaf_, 0755, path + "/" + ns->home_leaf_);
    if (!leaf) return Unexpected(std::move(leaf).error());
    auto point = make_dir(leaf->get(), name, 0755, path + "/" + ns->home_leaf_ + "/" + name);
    if (!point) return Unexpected(std::move(point).error());
    child.home_leaf = ns->home_leaf_.c_str();
  }
  return ns;
}

void AccountNamespaces::end() {
  if (ended_ || !child_.account || ::getpid() != creator_) return;
  ended_ = true;
  for (const std::string& problem : remove_private_places(username_)) report(problem);
}

AccountNamespaces::~AccountNamespaces() { end(); }

}  // namespace ferrowick
