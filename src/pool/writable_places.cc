#include "pool/writable_places.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string_view>
#include <thread>

namespace ferrowick {

namespace {

using Places = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

std::atomic<const Places*> g_latest{nullptr};
std::atomic<Clock::rep> g_latest_at{0};
std::atomic<pid_t> g_searching_in{0};  // the process whose thread searches

// File systems that hold files on this host: disks and memory. Network file
// systems, FUSE and the kernel's interface file systems are left out.
bool local_type(std::string_view type) {
  static constexpr std::string_view kLocal[] = {
      "ext2", "ext3",  "ext4",  "xfs",  "btrfs",    "f2fs",  "jfs",   "reiserfs", "zfs",     "bcachefs",
      "vfat", "exfat", "ntfs3", "ntfs", "hfsplus",  "nilfs2", "tmpfs", "ramfs",   "devtmpfs", "overlay",
  };
  return std::find(std::begin(kLocal), std::end(kLocal), type) != std::end(kLocal);
}

// A mountinfo path with its octal escapes (\040 for a space) decoded.
std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// The mount points of the local file systems mounted read-write.
Places local_mounts() {
  Places points;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    // id parent dev root point options [optional...] - type source super
    std::vector<std::string_view> f;
    std::string_view rest(line);
    while (!rest.empty()) {
      const std::size_t sp = rest.find(' ');
      f.push_back(rest.substr(0, sp));
      if (sp == std::string_view::npos) break;
      rest.remove_prefix(sp + 1);
    }
    auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (f.size() < 6 || dash == f.end() || dash + 1 == f.end()) continue;
    const std::string_view options = f[5];
    if (options.substr(0, options.find(',')) != "rw" || !local_type(*(dash + 1))) continue;
    points.push_back(unescape(f[4]));
  }
  return points;
}

std::string join(const std::string& dir, const char* name) {
  return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

// The world-writable directories of the file system mounted at `point`.
void walk_mount(const std::string& point, Places& out) {
  struct stat top;
  if (::stat(point.c_str(), &top) != 0 || !S_ISDIR(top.st_mode)) return;
  if (top.st_mode & S_IWOTH) {
    out.push_back(point);
    return;
  }
  Places stack{point};
  while (!stack.empty()) {
    const std::string dir = std::move(stack.back());
    stack.pop_back();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
      if (fd >= 0) ::close(fd);
      continue;
    }
    while (dirent* e = ::readdir(d)) {
      if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
      const char* n = e->d_name;
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
      struct stat st;
      if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
      if (st.st_dev != top.st_dev) continue;  // another mount: walked on its own if local
      if (st.st_mode & S_IWOTH) {
        out.push_back(join(dir, n));
      } else if (st.st_mode & S_IXOTH) {
        stack.push_back(join(dir, n));
      }
    }
    ::closedir(d);
  }
}

void publish(Places found) {
  const Places* current = g_latest.load(std::memory_order_acquire);
  if (!current || *current != found) {
    // The previous list stays allocated: a reader may still hold it.
    g_latest.store(new Places(std::move(found)), std::memory_order_release);
  }
  g_latest_at.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

}  // namespace

std::vector<std::string> find_writable_places(const std::vector<std::string>& mount_points) {
  Places out;
  for (const std::string& point : mount_points.empty() ? local_mounts() : mount_points) walk_mount(point, out);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

void refresh_writable_places() {
  const Clock::rep at = g_latest_at.load(std::memory_order_acquire);
  if (at != 0 && Clock::now() - Clock::time_point(Clock::duration(at)) < kRefreshAfter) return;
  const pid_t me = ::getpid();
  pid_t searching = g_searching_in.load();
  // A search that a parent process started runs on in the parent only.
  if (searching == me || !g_searching_in.compare_exchange_strong(searching, me)) return;
  try {
    std::thread([me] {
      publish(find_writable_places());
      pid_t mine = me;
      g_searching_in.compare_exchange_strong(mine, 0);
    }).detach();
  } catch (...) {
    g_searching_in.store(0);  // no thread to be had: the next call tries again
  }
}

const std::vector<std::string>& writable_places(std::chrono::milliseconds patience) {
  if (const Places* latest = g_latest.load(std::memory_order_acquire)) return *latest;
  refresh_writable_places();
  const auto until = Clock::now() + patience;
  while (Clock::now() < until) {
    if (const Places* latest = g_latest.load(std::memory_order_acquire)) return *latest;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  static const Places fallback{"/dev/shm", "/tmp", "/var/tmp"};
  return fallback;
}

}  // namespace ferrowick
