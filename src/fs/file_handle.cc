#include "fs/file_handle.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "common/panic.h"
#include "fs/file_lock.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

Expected<FileHandleType, IoError> file_handle_type_from_str(std::string_view mode) {
  std::uint32_t flags = 0;
  for (char c : mode) {
    const std::uint32_t bit = c == 'r' ? static_cast<std::uint32_t>(FileHandleType::READ)
                              : c == 'w' ? static_cast<std::uint32_t>(FileHandleType::WRITE)
                                         : 0;
    if (bit == 0 || (flags & bit) != 0) return io_failure(IoError::Kind::UnrecognizedFileMode);
    flags |= bit;
  }
  return static_cast<FileHandleType>(flags);
}

Expected<FileHandle, IoError> FileHandle::create_locked(std::shared_ptr<FileSystem> fs, InodeId id,
                                                     FileHandleType type) {
  fs->assert_ns_held();
  auto resolved = fs->resolve_locked(id);
  if (!resolved) return Unexpected(resolved.error());
  INode* node = *resolved;
  {
    auto guard = node->data.read();
    const File* file = std::get_if<File>(&*guard);
    if (!file) return io_failure(IoError::Kind::NotAFile);
    auto locked = acquire_file_lock(file->lock, has_flag(type, FileHandleType::WRITE));
    if (!locked) return Unexpected(locked.error());
  }
  // Reached through a link: every operation resolves the id again.
  INodeRef kept = node->id == id ? INodeRef::retain(node) : INodeRef();
  // The handle remembers the id it was given, not the resolved one.
  return FileHandle(std::move(fs), id, type, std::move(kept));
}

Expected<FileHandle, IoError> FileHandle::create(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type) {
  // Shared with other openings; a removal, which marks a free file as
  // going, waits for it.
  FileSystem::SharedNs ns(*fs);
  return create_locked(std::move(fs), id, type);
}

FileHandle::FileHandle(FileHandle&& o) noexcept
    : id_(std::exchange(o.id_, std::nullopt)),
      type_(o.type_),
      fs_(std::move(o.fs_)),
      offset_(o.offset_),
      node_(std::move(o.node_)) {}

Expected<const INode*, IoError> FileHandle::current_node(INodeRef& hold) const {
  if (node_ && node_->in_table.load(std::memory_order_relaxed)) return node_.get();
  auto resolved = fs_->resolve_inode(*id_);
  if (!resolved) return Unexpected(resolved.error());
  hold = std::move(*resolved);
  return hold.get();
}

FileHandle::~FileHandle() {
  if (!id_) return;
  try {
    auto closed = close();
    if (!closed) panic("closing a file handle on destruction failed: " + closed.error().name());
  } catch (const Panic& p) {
    report_drop_panic(p);
  }
}

template <FileHandle::Access A, class F>
auto FileHandle::with_file(F&& f) {
  using Result = decltype(f(std::declval<std::conditional_t<A == Access::Write, File&, const File&>>()));
  if (!id_) return Result(io_failure(IoError::Kind::InvalidFileDescriptor));
  if (A == Access::Read && !has_flag(type_, FileHandleType::READ))
    return Result(Unexpected(IoError::operation_not_supported("read")));
  if (A == Access::Write && !has_flag(type_, FileHandleType::WRITE))
    return Result(Unexpected(IoError::operation_not_supported("write")));
  INodeRef hold;
  auto node = current_node(hold);
  if (!node) return Result(Unexpected(node.error()));
  if constexpr (A == Access::Write) {
    INode* writable = const_cast<INode*>(*node);
    auto guard = writable->data.write();
    File* file = std::get_if<File>(&*guard);
    if (!file) return Result(io_failure(IoError::Kind::NotAFile));
    Result result = f(*file);
    // Every successful write and truncation is a change of the contents.
    if (result) writable->touch_mtime(clock_now_ns());
    return result;
  } else {
    auto guard = (*node)->data.read();
    const File* file = std::get_if<File>(&*guard);
    if (!file) return Result(io_failure(IoError::Kind::NotAFile));
    return f(*file);
  }
}

Expected<std::size_t, IoError> FileHandle::read(std::span<std::uint8_t> dest) {
  return read_impl(
      dest.size(), [](void* ctx, std::size_t) -> std::uint8_t* { return static_cast<std::uint8_t*>(ctx); },
      dest.data());
}

Expected<std::size_t, IoError> FileHandle::read_impl(std::size_t max, std::uint8_t* (*dest)(void*, std::size_t),
                                                     void* ctx) {
  // The data lock is held for reading from the sizing to the copy, so no
  // write can change the length in between (whatever this handle's mode).
  return with_file<Access::Read>([&](const File& file) -> Expected<std::size_t, IoError> {
    const auto& bytes = file.data.data;
    const std::size_t available = offset_ < bytes.size() ? bytes.size() - offset_ : 0;
    const std::size_t n = std::min(max, available);
    std::uint8_t* out = dest(ctx, n);
    if (n == 0 || out == nullptr) return std::size_t{0};
    std::memcpy(out, bytes.data() + offset_, n);
    offset_ += n;
    return n;
  });
}

Expected<std::size_t, IoError> FileHandle::read_rest(std::string& out) {
  return with_file<Access::Read>([&](const File& file) -> Expected<std::size_t, IoError> {
    const auto& bytes = file.data.data;
    if (offset_ >= bytes.size()) return std::size_t{0};
    const std::size_t n = bytes.size() - offset_;
    out.append(reinterpret_cast<const char*>(bytes.data() + offset_), n);
    offset_ += n;
    return n;
  });
}

Expected<std::size_t, IoError> FileHandle::write(std::span<const std::uint8_t> bytes) {
  return with_file<Access::Write>([&](File& file) -> Expected<std::size_t, IoError> {
    auto& data = file.data.data;
    // The only allocation comes first: if it fails the file is unchanged.
    if (bytes.size() > SIZE_MAX - offset_) throw std::bad_alloc();
    data.reserve(offset_ + bytes.size());
    if (data.size() < offset_) data.resize(offset_);  // a gap reads as zeros
    // Overwrite what lies before the end, append the rest: the new tail is
    // copied once instead of being zero-filled first.
    const std::size_t overlap = std::min(bytes.size(), data.size() - offset_);
    if (overlap) std::memcpy(data.data() + offset_, bytes.data(), overlap);
    data.append(bytes.data() + overlap, bytes.size() - overlap);
    return bytes.size();
  });
}

Expected<void, IoError> FileHandle::seek(SeekOrigin origin, std::uint64_t distance) {
  return with_file<Access::Any>([&](const File& file) -> Expected<void, IoError> {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t length = file.data.data.size();
    std::uint64_t target = 0;
    switch (origin) {
      case SeekOrigin::Start:
        target = distance;
        break;
      case SeekOrigin::End:  // counts backwards from the end
        target = distance > length ? 0 : length - distance;
        break;
      case SeekOrigin::Current:
        target = distance > kMax - offset_ ? kMax : offset_ + distance;
        break;
    }
    offset_ = static_cast<std::size_t>(std::min(target, length));
    return {};
  });
}

Expected<void, IoError> FileHandle::truncate(std::uint64_t size) {
  if (id_ && !has_flag(type_, FileHandleType::WRITE)) return Unexpected(IoError::operation_not_supported("truncate"));
  if (size > SIZE_MAX) throw std::bad_alloc();
  return with_file<Access::Write>([&](File& file) -> Expected<void, IoError> {
    // Allocates before it changes anything: std::bad_alloc leaves the file.
    file.data.data.resize(static_cast<std::size_t>(size));
    offset_ = std::min(offset_, static_cast<std::size_t>(size));
    return {};
  });
}

Expected<void, IoError> FileHandle::close() {
  auto closed = with_file<Access::Any>([&](const File& file) -> Expected<void, IoError> {
    release_file_lock(file.lock, has_flag(type_, FileHandleType::WRITE));
    return {};
  });
  if (closed) id_.reset();
  return closed;
}

Expected<FileHandle, IoError> FileSystem::open(std::shared_ptr<FileSystem> fs, std::string_view path,
                                               FileHandleType type, bool create) {
  const PathSplit split = split_last_separator(path);
  InodeId parent_id;
  {
    // An existing file is found and opened in one hold of the lock.
    SharedNs ns(*fs);
    auto parent = fs->walk_locked(split.parent);
    if (!parent) return Unexpected(parent.error());
    auto found = fs->find_locked(**parent, split.name);
    if (found) return FileHandle::create_locked(std::move(fs), *found, type);
    if (!create || found.error() != IoError(IoError::Kind::InodeNotFound)) return Unexpected(found.error());
    parent_id = (*parent)->id;
  }
  // Created and opened in one hold of the lock.
  FileSystem& self = *fs;
  return self.create_inode_then(parent_id, split.name, INodeKind(std::in_place_type<File>),
                                OpenCreated{std::move(fs), type});
}

Expected<FileHandle, IoError> FileSystem::OpenCreated::operator()(INode& node) {
  return FileHandle::create_locked(std::move(fs), node.id, type);
}

Expected<FileHandle, IoError> FileSystem::open_raw(std::shared_ptr<FileSystem> fs, InodeId id, FileHandleType type) {
  auto resolved = fs->get_inode_raw(id);
  if (!resolved) return Unexpected(resolved.error());
  auto is_file = fs->is_file_raw(*resolved);
  if (!is_file) return Unexpected(is_file.error());
  if (!*is_file) return io_failure(IoError::Kind::NotAFile);
  return FileHandle::create(std::move(fs), *resolved, type);
}

}  // namespace ferrowick
