#include <vector>

#include "fs/file_system.h"

namespace ferrowick {

namespace {

constexpr std::string_view kSeparators = "/\\";

Unexpected<IoError> fail(IoError::Kind kind) { return Unexpected(IoError(kind)); }

}  // namespace

PathSplit split_last_separator(std::string_view path) {
  const std::size_t sep = path.find_last_of(kSeparators);
  if (sep == std::string_view::npos) return {std::string_view(), path};
  return {path.substr(0, sep), path.substr(sep + 1)};
}

Expected<InodeId, IoError> FileSystem::find_inode_by_name_with_handle(const INode& inode,
                                                                      std::string_view name) const {
  // These answers do not depend on the kind, so they work on files too.
  if (name.empty() || name == ".") return inode.id;
  if (name == "..") return inode.parent;
  auto guard = inode.data.read();
  const auto* dir = std::get_if<Directory>(&*guard);
  if (!dir) return fail(IoError::Kind::NotADirectory);
  const InodeId child = dir->find(name, table_);
  if (child == kRootId) return fail(IoError::Kind::InodeNotFound);
  return child;
}

Expected<InodeId, IoError> FileSystem::find_inode_by_name(InodeId id, std::string_view name) const {
  auto node = resolve_inode(id);
  if (!node) return Unexpected(node.error());
  return find_inode_by_name_with_handle(**node, name);
}

Expected<InodeId, IoError> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  auto root = resolve_inode(kRootId);
  if (!root) return Unexpected(root.error());
  INodeRef current = std::move(*root);
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = path.find_first_of(kSeparators, pos);
    const std::string_view component = path.substr(pos, end == std::string_view::npos ? end : end - pos);
    if (!component.empty() && component != ".") {
      InodeId next_id;
      if (component == "..") {
        next_id = current->parent;
      } else {
        auto child = find_inode_by_name_with_handle(*current, component);
        if (!child) return Unexpected(child.error());
        next_id = *child;
      }
      auto next = resolve_inode(next_id);
      if (!next) return Unexpected(next.error());
      current = std::move(*next);
    }
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return current->id;
}

Expected<std::string, IoError> FileSystem::get_path_by_inode(InodeId id) const {
  // Guards on the ancestors keep their names readable until joined.
  std::vector<INodeRef> chain;
  for (InodeId current = id; current != kRootId;) {
    // A sound tree is at most kMaxDepth deep; only a looping link chain
    // could walk further.
    if (chain.size() > kMaxDepth) return fail(IoError::Kind::MaxRecursionDepthExceeded);
    auto node = resolve_inode(current);
    if (!node) return Unexpected(node.error());
    current = (*node)->parent;
    chain.push_back(std::move(*node));
  }
  if (chain.empty()) return std::string("/");
  std::size_t size = 0;
  for (const INodeRef& node : chain) size += node->name.size() + 1;
  std::string path;
  path.reserve(size);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += '/';
    path += (*it)->name;
  }
  return path;
}

Expected<bool, IoError> FileSystem::is_file_raw(InodeId id) const {
  auto node = resolve_inode(id);
  if (!node) return Unexpected(node.error());
  return (*node)->kind_tag != KindTag::Directory;
}

Expected<bool, IoError> FileSystem::is_directory_raw(InodeId id) const {
  auto node = resolve_inode(id);
  if (!node) return Unexpected(node.error());
  return (*node)->kind_tag == KindTag::Directory;
}

}  // namespace ferrowick
