#include "pool/account_claims.h"

#include "common/system_error.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ferrowick {

namespace {

// Opens the store, making it on first use. It must be a directory owned by
// root that nobody else can enter; a wider mode left by hand is narrowed.
Expected<UniqueFd, std::string> open_store() {
  const std::string dir(kClaimDir);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return Unexpected("Failed to create the pool claim directory " + dir + ": " + system_error_text(errno));
  }
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    return Unexpected("Failed to open the pool claim directory " + dir + ": " + system_error_text(errno));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || st.st_uid != 0) {
    return Unexpected("The pool claim directory " + dir + " is not owned by root; refusing to use it");
  }
  if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) {
    return Unexpected("Failed to restrict the pool claim directory " + dir + ": " + system_error_text(errno));
  }
  return fd;
}

std::string claim_file(std::string_view name) {
  std::string file(name);
  file += ".claim";
  return file;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Expected<std::optional<AccountClaim>, std::string> try_claim(std::string_view name) {
  auto store = open_store();
  if (!store) return Unexpected(std::move(store).error());
  const std::string file = claim_file(name);
  for (;;) {
    UniqueFd fd(::openat(store->get(), file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return Unexpected("Failed to open the claim of " + std::string(name) + ": " + system_error_text(errno));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) {
      if (errno == EAGAIN || errno == EACCES) return std::optional<AccountClaim>();
      return Unexpected("Failed to lock the claim of " + std::string(name) + ": " + system_error_text(errno));
    }
    // A purge may have removed the file between the open and the lock; a
    // lock on that orphan would claim nothing.
    struct stat held, now;
    if (::fstat(fd.get(), &held) == 0 && ::fstatat(store->get(), file.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, now)) {
      return std::optional<AccountClaim>(AccountClaim(std::move(fd)));
    }
  }
}

bool is_claimed(std::string_view name) {
  auto store = open_store();
  if (!store) return false;
  UniqueFd fd(::openat(store->get(), claim_file(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  return ::fcntl(fd.get(), F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

void retire_claim(std::string_view name) {
  if (auto store = open_store()) ::unlinkat(store->get(), claim_file(name).c_str(), 0);
}

Expected<UniqueFd, std::string> lock_account_database() {
  auto store = open_store();
  if (!store) return Unexpected(std::move(store).error());
  UniqueFd fd(::openat(store->get(), "accounts.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return Unexpected("Failed to open the account database lock: " + system_error_text(errno));
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Unexpected("Failed to lock the account database: " + system_error_text(errno));
  }
  return fd;
}

}  // namespace ferrowick
