// FileHandle: an open file of a FileSystem, with a mode, a byte offset and a
// share of the file's FileLock (many readers, or one writer).
//
// Operations need exclusive access to the handle (callers serialise). A
// handle keeps its FileSystem alive until it is destroyed, closed or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "error/io_error.h"
#include "fs/inode.h"

namespace ferrowick {

class FileSystem;

enum class FileHandleType : std::uint32_t { EMPTY = 0, READ = 1, WRITE = 2 };
inline constexpr FileHandleType operator|(FileHandleType a, FileHandleType b) {
  return static_cast<FileHandleType>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
inline constexpr bool has_flag(FileHandleType set, FileHandleType flag) {
  return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(flag)) != 0;
}
// Accepts exactly "", "r", "w", "rw", "wr"; otherwise UnrecognizedFileMode.
Expected<FileHandleType, IoError> file_handle_type_from_str(std::string_view mode);
// "FileHandleType(READ | WRITE)", "FileHandleType(0x0)", ...
std::string render_file_handle_type(FileHandleType type);

enum class SeekOrigin { Start, End, Current };

class FileHandle {
 public:
  // Opens `id` (links followed) with `type`, taking the file lock.
  static Expected<FileHandle, IoError> create(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type);

  FileHandle(FileHandle&& o) noexcept;
  FileHandle& operator=(FileHandle&&) = delete;
  FileHandle(const FileHandle&) = delete;
  // Closes the handle if still open; a Panic there goes to report_drop_panic.
  ~FileHandle();

  // Copies up to dest.size() bytes from the offset and advances it.
  Expected<std::size_t, IoError> read(std::span<std::uint8_t> dest);
  // Checks like read(), then calls alloc(n) with n = the number of bytes the
  // read will return (at most `max`) to obtain the destination, and copies
  // straight into it. Lets callers size the result exactly, in one copy.
  template <class Alloc>
  Expected<std::size_t, IoError> read_into(std::size_t max, Alloc&& alloc);
  // Appends everything from the offset to the end of the file to `out` (one
  // copy, no zero-filled buffer first) and moves the offset to the end.
  // Checks like read(); on std::bad_alloc nothing has moved.
  Expected<std::size_t, IoError> read_rest(std::string& out);
  // Writes at the offset (growing the file with zeros), offset unchanged.
  // On std::bad_alloc the file is as it was.
  Expected<std::size_t, IoError> write(std::span<const std::uint8_t> bytes);
  Expected<void, IoError> seek(SeekOrigin origin, std::uint64_t distance);
  // Sets the file's length to `size`, zero-filling when it grows; the offset
  // is kept, or pulled back to the new end. Needs WRITE
  // (OperationNotSupported "truncate").
  Expected<void, IoError> truncate(std::uint64_t size);
  // Releases the lock; a second close fails with InvalidFileDescriptor.
  // Panics if the lock word is not in the state this handle holds.
  Expected<void, IoError> close();

  std::optional<InodeId> id() const { return id_; }
  FileHandleType type() const { return type_; }
  std::size_t offset() const { return offset_; }
  const std::shared_ptr<FileSystem>& fs() const { return fs_; }
  // "FileHandle { id: Some(1), type: FileHandleType(READ), fs: FileSystem { ... }, offset: 0 }"
  std::string render() const;

 private:
  friend class FileSystem;
  FileHandle(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type, INodeRef node)
      : id_(id), type_(type), fs_(std::move(fs)), node_(std::move(node)) {}
  // Opening under the file system's namespace lock.
  static Expected<FileHandle, IoError> create_locked(std::shared_ptr<FileSystem> fs, InodeId id,
                                                     FileHandleType type);
  // The record the handle works on: the one it opened while that is still
  // in the table and was reached without a link, else a fresh resolution
  // of the id (kept alive by `hold`), which fails once the record is gone.
  Expected<const INode*, IoError> current_node(INodeRef& hold) const;
  // Shared body of read() and read_into(): `dest(n)` returns where to copy.
  // A null destination copies nothing and returns 0, leaving the offset.
  Expected<std::size_t, IoError> read_impl(std::size_t max, std::uint8_t* (*dest)(void*, std::size_t), void* ctx);
  // The checks every operation starts with, in order: open, mode (Read and
  // Write only), resolution, kind. Then calls f(file) under the file's data
  // lock (for writing with Write, else for reading) and returns its result.
  enum class Access { Any, Read, Write };
  template <Access A, class F>
  auto with_file(F&& f);

  std::optional<InodeId> id_;
  FileHandleType type_;
  std::shared_ptr<FileSystem> fs_;
  std::size_t offset_ = 0;
  INodeRef node_;  // the file opened; kept so that no operation needs a look-up
};

template <class Alloc>
Expected<std::size_t, IoError> FileHandle::read_into(std::size_t max, Alloc&& alloc) {
  using A = std::remove_reference_t<Alloc>;
  return read_impl(
      max, [](void* ctx, std::size_t n) -> std::uint8_t* { return (*static_cast<A*>(ctx))(n); }, &alloc);
}

}  // namespace ferrowick
