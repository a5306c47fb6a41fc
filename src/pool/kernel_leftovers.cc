#include "pool/kernel_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "common/expected.h"
#include "common/system_error.h"
#include "common/unique_fd.h"

namespace ferrowick {

namespace {

// One table of /proc/sysvipc: the identifiers of the rows whose "uid" or
// "cuid" column is `uid`.
std::vector<int> ipc_ids_of(const char* table, const char* id_column, std::uint32_t uid) {
  std::vector<int> ids;
  std::ifstream in(table);
  std::string header;
  if (!std::getline(in, header)) return ids;
  std::istringstream hs(header);
  std::vector<std::string> columns;
  for (std::string c; hs >> c;) columns.push_back(c);
  auto index_of = [&](std::string_view name) {
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (columns[i] == name) return static_cast<long>(i);
    return -1L;
  };
  const long id_at = index_of(id_column), uid_at = index_of("uid"), cuid_at = index_of("cuid");
  if (id_at < 0 || uid_at < 0 || cuid_at < 0) return ids;
  for (std::string line; std::getline(in, line);) {
    std::istringstream ls(line);
    std::vector<std::string> fields;
    for (std::string f; ls >> f;) fields.push_back(f);
    if (fields.size() != columns.size()) continue;
    const auto is_uid = [&](long at) { return fields[static_cast<std::size_t>(at)] == std::to_string(uid); };
    int id = 0;
    const std::string& text = fields[static_cast<std::size_t>(id_at)];
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec == std::errc() && (is_uid(uid_at) || is_uid(cuid_at))) ids.push_back(id);
  }
  return ids;
}

// A mount of the IPC namespace's message-queue file system attached to no
// mount namespace, as a directory descriptor; or an errno.
Expected<UniqueFd, int> open_queue_fs() {
#if defined(SYS_fsopen) && defined(SYS_fsconfig) && defined(SYS_fsmount)
  constexpr unsigned kFsopenCloexec = 1, kFsmountCloexec = 1;
  constexpr unsigned kFsconfigCmdCreate = 6;
  UniqueFd context(static_cast<int>(::syscall(SYS_fsopen, "mqueue", kFsopenCloexec)));
  if (!context.valid()) return Unexpected(errno);
  if (::syscall(SYS_fsconfig, context.get(), kFsconfigCmdCreate, nullptr, nullptr, 0) != 0) return Unexpected(errno);
  UniqueFd mount(static_cast<int>(::syscall(SYS_fsmount, context.get(), kFsmountCloexec, 0)));
  if (!mount.valid()) return Unexpected(errno);
  // fsmount gives a path-only descriptor; one that can be listed keeps the
  // mount alive in its turn.
  UniqueFd dir(::openat(mount.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Unexpected(errno);
  return dir;
#else
  return Unexpected(ENOSYS);
#endif
}

long keyctl(int operation, long key) { return ::syscall(SYS_keyctl, operation, key, 0, 0, 0); }

}  // namespace

std::vector<std::string> remove_ipc_of(std::uint32_t uid) {
  std::vector<std::string> problems;
  auto remove = [&](const char* kind, int rc, int id) {
    if (rc != 0 && errno != EINVAL && errno != EIDRM) {
      problems.push_back(std::string(kind) + " " + std::to_string(id) + ": " + system_error_text(errno));
    }
  };
  for (int id : ipc_ids_of("/proc/sysvipc/shm", "shmid", uid))
    remove("shared memory segment", ::shmctl(id, IPC_RMID, nullptr), id);
  for (int id : ipc_ids_of("/proc/sysvipc/msg", "msqid", uid))
    remove("message queue", ::msgctl(id, IPC_RMID, nullptr), id);
  for (int id : ipc_ids_of("/proc/sysvipc/sem", "semid", uid))
    remove("semaphore set", ::semctl(id, 0, IPC_RMID), id);
  return problems;
}

std::vector<std::string> remove_message_queues_of(std::uint32_t uid) {
  auto fs = open_queue_fs();
  if (!fs) return {"POSIX message queues: " + system_error_text(fs.error())};
  std::vector<std::string> problems;
  const int dup = ::fcntl(fs->get(), F_DUPFD_CLOEXEC, 0);
  DIR* dir = dup >= 0 ? ::fdopendir(dup) : nullptr;
  if (!dir) {
    if (dup >= 0) ::close(dup);
    return {"POSIX message queues: " + system_error_text(errno)};
  }
  // The file system is flat: every entry is a queue.
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(dir);
    if (!e) {
      if (errno != 0) problems.push_back("POSIX message queues: " + system_error_text(errno));
      break;
    }
    struct stat st;
    if (e->d_name[0] == '.' || ::fstatat(fs->get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid != uid) continue;
    if (::unlinkat(fs->get(), e->d_name, 0) != 0 && errno != ENOENT) {
      problems.push_back(std::string("POSIX message queue /") + e->d_name + ": " + system_error_text(errno));
    }
  }
  ::closedir(dir);
  return problems;
}

bool has_keys(std::uint32_t uid) {
  // Lines of "<uid>: <usage> <keys>/<instantiated> ...", the uid padded.
  std::ifstream in("/proc/key-users");
  for (std::string line; std::getline(in, line);) {
    std::string_view v(line);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    std::uint32_t id = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), id);
    if (ec == std::errc() && end != v.data() + v.size() && *end == ':' && id == uid) return true;
  }
  return false;
}

std::vector<std::string> remove_keys_of(std::uint32_t uid) {
  if (uid == 0) return {"refusing to remove the keys of uid 0"};
  if (!has_keys(uid)) return {};
  std::vector<std::string> problems;
  // The keyrings are found through the caller's uid; the raw system call
  // changes this thread's credentials only, never the process's.
  std::thread([&] {
    if (::syscall(SYS_setresuid, uid, uid, 0) != 0) {
      problems.push_back("keyrings: " + system_error_text(errno));
      return;
    }
    for (long ring : {KEY_SPEC_USER_SESSION_KEYRING, KEY_SPEC_USER_KEYRING}) {
      // Emptied, not invalidated: the kernel would go on finding an
      // invalidated user keyring for the uid until it is collected, and
      // refuse the next tenant's keys meanwhile. Unlinked keys are collected.
      if (keyctl(KEYCTL_CLEAR, ring) != 0) {
        problems.push_back("keyring " + std::to_string(ring) + ": " + system_error_text(errno));
      }
    }
    if (::syscall(SYS_setresuid, 0, 0, 0) != 0) {
      // Cannot happen with a saved uid of 0; the thread ends either way.
      problems.push_back("keyrings: " + system_error_text(errno));
    }
  }).join();
  return problems;
}

}  // namespace ferrowick
