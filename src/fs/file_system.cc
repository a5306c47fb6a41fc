#include "fs/file_system.h"

#include <time.h>

#include <algorithm>
#include <utility>

#include "fs/file_handle.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

namespace {

// Owns a record until the table takes it over.
struct NodeOwner {
  INode* node;
  ~NodeOwner() {
    if (node) node->release();
  }
};

}  // namespace

std::int64_t clock_now_ns() noexcept {
  // The fine clock, not CLOCK_REALTIME_COARSE (a fifth of the cost, but one
  // value per tick of a few milliseconds): changes a millisecond apart must
  // show as different times in a datetime or a float of seconds, which is
  // what caches keyed on modification times compare.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

FileSystem::FileSystem() {
  auto* root = new INode(kRootId, kRootId, std::string_view(), INodeKind(std::in_place_type<Directory>));
  NodeOwner owner{root};
  root->mtime_ns = root->birthtime_ns = clock_now_ns();
  table_.reserve(kRootId);
  table_.insert(std::exchange(owner.node, nullptr));
}

std::shared_ptr<FileSystem> FileSystem::create() { return std::shared_ptr<FileSystem>(new FileSystem()); }

Expected<INode*, IoError> FileSystem::resolve_locked(InodeId id) const {
  for (std::size_t hops = 0;; ++hops) {
    INode* node = table_.find(id);
    if (!node) return io_failure(IoError::Kind::InodeNotFound);
    if (node->kind_tag != KindTag::Symlink) return node;
    if (hops == kMaxLinkHops) return io_failure(IoError::Kind::MaxRecursionDepthExceeded);
    // A link's target never changes; the variant is read without its lock.
    id = std::get<Symlink>(node->data.peek()).target;
  }
}

Expected<INodeRef, IoError> FileSystem::resolve_inode(InodeId id) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return INodeRef::retain(*node);
}

Expected<InodeId, IoError> FileSystem::get_inode_raw(InodeId id) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return (*node)->id;
}

INodeRef FileSystem::lookup(InodeId id) const {
  SharedNs ns(*this);
  return INodeRef::retain(table_.find(id));
}

Expected<std::size_t, IoError> FileSystem::depth_locked(const INode& node, const INode* moving) const {
  std::size_t depth = 0;
  for (const INode* at = &node;; ++depth) {
    if (at == moving) return io_failure(IoError::Kind::InvalidMove);
    if (at->id == kRootId) return depth;
    // A sound tree is at most kMaxDepth deep; only a looping link chain
    // could walk further.
    if (depth > kMaxDepth) return io_failure(IoError::Kind::MaxRecursionDepthExceeded);
    auto up = resolve_locked(at->parent);
    if (!up) return Unexpected(up.error());
    at = *up;
  }
}

Expected<std::size_t, IoError> FileSystem::depth_of(InodeId id) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return depth_locked(**node);
}

void FileSystem::raise_heights_locked(INode& dir, std::size_t height) noexcept {
  // Each bound already covers those below it, so the walk stops at the first
  // ancestor that is high enough: most creations stop at their parent.
  for (INode* at = &dir; at->height < height; ++height) {
    at->height = static_cast<std::uint8_t>(height);
    if (at->id == kRootId) return;
    auto up = resolve_locked(at->parent);
    if (!up) return;
    at = *up;
  }
}

std::size_t FileSystem::exact_height_locked(INode& node) noexcept {
  if (node.kind_tag != KindTag::Directory) return 0;
  std::size_t height = 0;
  node.directory().for_each_child([&](INode* child) {
    assert_ns_held_exclusively();
    height = std::max(height, exact_height_locked(*child) + 1);
  });
  node.height = static_cast<std::uint8_t>(height);
  return height;
}

std::size_t FileSystem::inode_count() const {
  SharedNs ns(*this);
  return table_.size();
}

Expected<InodeId, IoError> FileSystem::create_inode(InodeId parent, std::string_view name, INodeKind kind) {
  return create_inode_then(parent, name, std::move(kind), [](INode& node) -> Expected<InodeId, IoError> {
    return node.id;
  });
}

template <class Then>
auto FileSystem::create_inode_then(InodeId parent, std::string_view name, INodeKind kind, Then&& then)
    -> decltype(then(std::declval<INode&>())) {
  if (!is_valid_name(name)) return io_failure(IoError::Kind::ResourceAlreadyExists);
  // From here on the identifier is spent, whatever happens.
  const InodeId id = next_inode_id_.fetch_add(1);
  // Built before locking; destroyed (with `kind`) on failure.
  NodeOwner owner{new INode(id, parent, name, std::move(kind))};
  INode* node = owner.node;
  node->mtime_ns = node->birthtime_ns = clock_now_ns();

  ExclusiveNs ns(*this);
  auto resolved = resolve_locked(parent);
  if (!resolved) return Unexpected(resolved.error());
  INode& dir_node = **resolved;
  const bool is_dir = dir_node.kind_tag == KindTag::Directory;
  if (is_dir) {
    if (dir_node.detached) return io_failure(IoError::Kind::InodeNotFound);
    if (dir_node.directory().find(node->name)) return io_failure(IoError::Kind::ResourceAlreadyExists);
  }
  auto parent_depth = depth_locked(dir_node);
  if (!parent_depth) return Unexpected(parent_depth.error());
  if (*parent_depth + 1 > kMaxDepth) return io_failure(IoError::Kind::MaxRecursionDepthExceeded);
  if (!is_dir) return io_failure(IoError::Kind::NotADirectory);

  // Everything that allocates happens before anything changes, so running
  // out of memory leaves the table and the directory as they were.
  table_.reserve(id);
  dir_node.directory().reserve_one();
  {
    auto guard = dir_node.data.write();  // for readers that use the data lock
    if (INode* replaced = table_.insert(std::exchange(owner.node, nullptr))) replaced->release();
    std::get<Directory>(*guard).append(node, next_stamp());
  }
  dir_node.touch_mtime(node->birthtime_ns);
  raise_heights_locked(dir_node, 1);
  return then(*node);
}

// Opening with creation uses it too (file_handle.cc).
template Expected<FileHandle, IoError> FileSystem::create_inode_then(
    InodeId, std::string_view, INodeKind, FileSystem::OpenCreated&&);

void FileSystem::release_inode_id(InodeId id) {
  INode* removed;
  {
    ExclusiveNs ns(*this);
    removed = table_.erase(id);
  }
  if (removed) removed->release();  // the record goes with its last reference
}

}  // namespace ferrowick
