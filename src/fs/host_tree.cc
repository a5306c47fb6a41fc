// The two walks of host_copy.h: a host tree into a file system, and a
// file system's tree onto the host.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "fs/file_system.h"
#include "fs/host_copy.h"

namespace ferrowick {

namespace {

int open_at(int dir_fd, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The entries of one host directory, "." and ".." left out, read whole
// before the walk goes on so that a walk holds one buffer, not one per level.
struct HostEntry {
  std::string name;
  unsigned char type;  // DT_*
};

bool read_entries(int fd, std::vector<char>& buf, std::vector<HostEntry>& out, int& err) {
  out.clear();
  for (;;) {
    const ssize_t n = ::getdents64(fd, buf.data(), buf.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    for (ssize_t pos = 0; pos < n;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buf.data() + pos);
      pos += d->d_reclen;
      const char* nm = d->d_name;
      if (nm[0] == '.' && (nm[1] == '\0' || (nm[1] == '.' && nm[2] == '\0'))) continue;
      out.push_back({nm, d->d_type});
    }
  }
}

// Reads up to `size` bytes of `fd` into a buffer of exactly what was read
// (less when the file shrank meanwhile; what it grew by is left).
bool read_file(int fd, std::size_t size, ByteBuffer& out, int& err) {
  out.resize(size);
  std::uint8_t* dst = size ? out.data() : nullptr;
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, dst + got, std::min<std::size_t>(size - got, 1 << 30));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return true;
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n, int& err) {
  while (n) {
    const ssize_t w = ::write(fd, p, std::min<std::size_t>(n, 1 << 30));
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// A kind of host entry that may have changed since the directory was read:
// the walk skips it rather than failing.
bool changed_under_us(int err) { return err == ENOENT || err == ELOOP || err == ENOTDIR || err == ENXIO; }

class HostReader {
 public:
  HostReader(FileSystem& fs, const HostReadOptions& options, dev_t dev) : fs_(fs), options_(options), dev_(dev) {}

  TransferResult<void> walk(int fd, InodeId dest, std::string& path) {
    std::vector<HostEntry> entries;
    int err = 0;
    if (!read_entries(fd, buf_, entries, err)) return Unexpected(TransferError::host(err, path));
    for (HostEntry& e : entries) {
      unsigned char type = e.type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) continue;
          return Unexpected(TransferError::host(errno, host_join(path, e.name)));
        }
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type != DT_DIR && type != DT_REG) continue;
      if (!is_valid_name(e.name))
        return Unexpected(TransferError::refused("the file system cannot hold the name of " +
                                                 host_join(path, e.name) + ": it holds a \"\\\""));
      auto done = type == DT_DIR ? directory(fd, e.name, dest, path) : file(fd, e.name, dest, path);
      if (!done) return done;
    }
    return {};
  }

  std::uint64_t files() const { return files_; }

 private:
  TransferResult<void> directory(int fd, const std::string& name, InodeId dest, std::string& path) {
    UniqueFd child(open_at(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (!child.valid()) {
      if (changed_under_us(errno)) return {};
      return Unexpected(TransferError::host(errno, host_join(path, name)));
    }
    if (options_.same_device) {
      struct stat st;
      if (::fstat(child.get(), &st) != 0) return Unexpected(TransferError::host(errno, host_join(path, name)));
      if (st.st_dev != dev_) return {};
    }
    auto id = fs_directory(dest, name);
    if (!id) return Unexpected(id.error());
    const std::size_t len = path.size();
    path = host_join(path, name);
    auto done = walk(child.get(), *id, path);
    path.resize(len);
    return done;
  }

  TransferResult<void> file(int fd, const std::string& name, InodeId dest, const std::string& path) {
    // O_NONBLOCK: what was a file may be a FIFO by now, whose open would wait.
    UniqueFd f(open_at(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!f.valid()) {
      if (changed_under_us(errno)) return {};
      return Unexpected(TransferError::host(errno, host_join(path, name)));
    }
    struct stat st;
    if (::fstat(f.get(), &st) != 0) return Unexpected(TransferError::host(errno, host_join(path, name)));
    if (!S_ISREG(st.st_mode)) return {};
    if (options_.owner && st.st_uid != *options_.owner && st.st_nlink > 1) return {};
    // Checked before anything is read or allocated: a sparse file of a
    // terabyte stops the walk here.
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > options_.max_bytes - used_)
      return Unexpected(TransferError::refused("the files hold more than max_bytes (" +
                                               std::to_string(options_.max_bytes) + " bytes); " +
                                               host_join(path, name) + " alone holds " + std::to_string(size)));
    ByteBuffer bytes;
    int err = 0;
    if (!read_file(f.get(), static_cast<std::size_t>(size), bytes, err))
      return Unexpected(TransferError::host(err, host_join(path, name)));
    used_ += bytes.size();
    auto done = fs_file(dest, name, std::move(bytes));
    if (done) ++files_;
    return done;
  }

  // The directory `name` in `parent`: made, or the one already there.
  TransferResult<InodeId> fs_directory(InodeId parent, const std::string& name) {
    auto made = fs_.create_inode(parent, name, Directory{});
    if (made) return *made;
    if (made.error().kind() != IoError::Kind::ResourceAlreadyExists) return Unexpected(TransferError::fs(made.error()));
    auto existing = fs_.find_inode_by_name(parent, name);
    if (existing) existing = fs_.get_inode_raw(*existing);
    if (!existing) return Unexpected(TransferError::fs(existing.error()));
    auto node = fs_.lookup(*existing);
    if (!node || node->kind_tag != KindTag::Directory) return Unexpected(TransferError::fs(made.error()));
    return *existing;
  }

  // The file `name` in `parent` with `bytes` as its content, replacing a
  // file (or link) of that name.
  TransferResult<void> fs_file(InodeId parent, const std::string& name, ByteBuffer bytes) {
    if (auto existing = fs_.find_inode_by_name(parent, name)) {
      auto node = fs_.lookup(*existing);
      if (node && node->kind_tag == KindTag::Directory)
        return Unexpected(TransferError::fs(IoError::Kind::ResourceAlreadyExists));
      if (auto gone = fs_.rm_raw(*existing, false); !gone) return Unexpected(TransferError::fs(gone.error()));
    }
    auto made = fs_.create_inode(parent, name, File{FileData{std::move(bytes)}, FileLock{}});
    if (!made) return Unexpected(TransferError::fs(made.error()));
    return {};
  }

  FileSystem& fs_;
  const HostReadOptions& options_;
  dev_t dev_;
  std::uint64_t used_ = 0;
  std::uint64_t files_ = 0;
  std::vector<char> buf_ = std::vector<char>(32 * 1024);
};

class HostWriter {
 public:
  HostWriter(const FileSystem& fs, const HostWriteOptions& options, dev_t dev)
      : fs_(fs), options_(options), dev_(dev) {}

  TransferResult<void> walk(InodeId src, int fd, std::string& path) {
    auto listing = fs_.ls_raw(src);
    if (!listing) return Unexpected(TransferError::fs(listing.error()));
    for (const std::string& name : listing->files) {
      // The file's bytes are shared for the write, not copied; a writer
      // changing the file meanwhile gets its own copy.
      ByteBuffer bytes;
      if (!file_bytes(src, name, bytes)) continue;
      if (auto done = file(fd, name, bytes, path); !done) return done;
    }
    for (const std::string& name : listing->directories) {
      auto id = fs_.find_inode_by_name(src, name);
      if (!id) continue;  // gone meanwhile
      if (auto node = fs_.lookup(*id); !node || node->kind_tag != KindTag::Directory) continue;  // a link
      auto child = open_host_directory(fd, name, &options_, options_.same_device ? &dev_ : nullptr, path);
      if (!child) return Unexpected(child.error());
      const std::size_t len = path.size();
      path = host_join(path, name);
      auto done = walk(*id, child->get(), path);
      path.resize(len);
      if (!done) return done;
    }
    return {};
  }

  std::uint64_t files() const { return files_; }

 private:
  // The content of file `name` in `dir`; false for a link or a file gone.
  bool file_bytes(InodeId dir, const std::string& name, ByteBuffer& out) const {
    auto id = fs_.find_inode_by_name(dir, name);
    if (!id) return false;
    auto node = fs_.lookup(*id);
    if (!node || node->kind_tag != KindTag::File) return false;
    auto data = node->data.read();
    out = std::get<File>(*data).data.data.share();
    return true;
  }

  TransferResult<void> file(int fd, const std::string& name, const ByteBuffer& bytes, const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY;
    UniqueFd f(open_at(fd, name.c_str(), kFlags, 0644));
    if (!f.valid() && errno == EEXIST && options_.replace) {
      // Whatever is there is unlinked, never opened: a hard link to a file
      // outside is only unlisted here.
      if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT)
        return Unexpected(TransferError::host(errno, host_join(path, name)));
      f.reset(open_at(fd, name.c_str(), kFlags, 0644));
    }
    if (!f.valid()) return Unexpected(TransferError::host(errno, host_join(path, name)));
    if (options_.owner && (::fchown(f.get(), *options_.owner, *options_.owner) != 0 || ::fchmod(f.get(), 0644) != 0))
      return Unexpected(TransferError::host(errno, host_join(path, name)));
    int err = 0;
    if (!write_all(f.get(), bytes.data(), bytes.size(), err)) return Unexpected(TransferError::host(err, host_join(path, name)));
    if (::close(f.release()) != 0) return Unexpected(TransferError::host(errno, host_join(path, name)));
    ++files_;
    return {};
  }

  const FileSystem& fs_;
  const HostWriteOptions& options_;
  dev_t dev_;
  std::uint64_t files_ = 0;
};

TransferResult<dev_t> device_of(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Unexpected(TransferError::host(errno, path));
  return st.st_dev;
}

}  // namespace

std::string host_join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

TransferResult<bool> host_directory_empty(int fd, const std::string& path) {
  std::vector<char> buf(4096);
  std::vector<HostEntry> entries;
  int err = 0;
  if (!read_entries(fd, buf, entries, err)) return Unexpected(TransferError::host(err, path));
  return entries.empty();
}

TransferResult<UniqueFd> open_host_directory(int dir_fd, std::string_view name, const HostWriteOptions* create,
                                             const dev_t* same_device, const std::string& path) {
  const std::string n(name);
  bool made = false;
  if (create) {
    if (::mkdirat(dir_fd, n.c_str(), 0755) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      return Unexpected(TransferError::host(errno, host_join(path, name)));
    }
  }
  UniqueFd fd(open_at(dir_fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (!fd.valid()) return Unexpected(TransferError::host(errno, host_join(path, name)));
  if (same_device) {
    auto dev = device_of(fd.get(), host_join(path, name));
    if (!dev) return Unexpected(dev.error());
    if (*dev != *same_device) return Unexpected(TransferError::host(EXDEV, host_join(path, name)));
  }
  // Only what this call made changes hands; an existing directory is left.
  if (made && create->owner &&
      (::fchown(fd.get(), *create->owner, *create->owner) != 0 || ::fchmod(fd.get(), 0755) != 0))
    return Unexpected(TransferError::host(errno, host_join(path, name)));
  return fd;
}

TransferResult<std::uint64_t> read_host_tree(FileSystem& fs, int dir_fd, InodeId dest, const HostReadOptions& options,
                                             std::string path) {
  auto dev = device_of(dir_fd, path);
  if (!dev) return Unexpected(dev.error());
  HostReader reader(fs, options, *dev);
  if (auto done = reader.walk(dir_fd, dest, path); !done) return Unexpected(done.error());
  return reader.files();
}

TransferResult<std::uint64_t> write_host_tree(const FileSystem& fs, InodeId src, int dir_fd,
                                              const HostWriteOptions& options, std::string path) {
  auto dev = device_of(dir_fd, path);
  if (!dev) return Unexpected(dev.error());
  HostWriter writer(fs, options, *dev);
  if (auto done = writer.walk(src, dir_fd, path); !done) return Unexpected(done.error());
  return writer.files();
}

}  // namespace ferrowick
