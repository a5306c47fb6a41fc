#include "fs/file_system.h"

#include <utility>

namespace ferrowick {

namespace {

// Empty, ".", ".." and names holding a separator can never be looked up as a
// single component, so creation refuses them.
bool is_valid_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\") == std::string_view::npos;
}

}  // namespace

FileSystem::FileSystem() {
  table_.insert(std::make_shared<INode>(kRootId, kRootId, 0, std::string(), INodeKind(std::in_place_type<Directory>)));
}

std::shared_ptr<FileSystem> FileSystem::create() { return std::shared_ptr<FileSystem>(new FileSystem()); }

Expected<INodeRef, IoError> FileSystem::resolve_inode(InodeId id) const {
  for (std::size_t hops = 0;; ++hops) {
    INodeRef node = table_.get(id);
    if (!node) return Unexpected(IoError(IoError::Kind::InodeNotFound));
    if (node->kind_tag != KindTag::Symlink) return node;
    if (hops == kMaxLinkHops) return Unexpected(IoError(IoError::Kind::MaxRecursionDepthExceeded));
    id = std::get<Symlink>(*node->data.read()).target;
  }
}

Expected<InodeId, IoError> FileSystem::get_inode_raw(InodeId id) const {
  auto node = resolve_inode(id);
  if (!node) return Unexpected(node.error());
  return (*node)->id;
}

Expected<InodeId, IoError> FileSystem::create_inode(InodeId parent, std::string name, INodeKind kind) {
  if (!is_valid_name(name)) return Unexpected(IoError(IoError::Kind::ResourceAlreadyExists));
  // From here on the identifier is spent, whatever happens.
  const InodeId id = next_inode_id_.fetch_add(1);
  auto resolved = resolve_inode(parent);
  if (!resolved) return Unexpected(resolved.error());
  const INodeRef& dir_node = *resolved;
  // Built before locking; destroyed with `name` and `kind` on failure.
  auto node = std::make_shared<INode>(id, parent, dir_node->depth + 1, std::move(name), std::move(kind));

  // The duplicate check and the append share one hold of the parent's write
  // lock, so two racing creations can never both add the same name. The
  // record enters the table before it is listed, so a reader of the parent
  // never meets a listed child without a record.
  auto guard = dir_node->data.write();
  auto* dir = std::get_if<Directory>(&*guard);
  if (dir) {
    if (dir->detached) return Unexpected(IoError(IoError::Kind::InodeNotFound));
    if (dir->find(node->name, table_) != kRootId) return Unexpected(IoError(IoError::Kind::ResourceAlreadyExists));
  }
  if (node->depth > kMaxDepth) return Unexpected(IoError(IoError::Kind::MaxRecursionDepthExceeded));
  if (!dir) return Unexpected(IoError(IoError::Kind::NotADirectory));
  table_.insert(node);
  dir->append(id, node->name, table_);
  return id;
}

// The record goes with the last guard on it.
void FileSystem::release_inode_id(InodeId id) { table_.erase(id); }

}  // namespace ferrowick
