#include <vector>

#include "fs/file_system.h"
#include "fs/namespace_lock.h"

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

Expected<InodeId, IoError> FileSystem::find_locked(const INode& inode, std::string_view name) const {
  // These answers do not depend on the kind, so they work on files too.
  if (name.empty() || name == ".") return inode.id;
  if (name == "..") return inode.parent;
  if (inode.kind_tag != KindTag::Directory) return fail(IoError::Kind::NotADirectory);
  const INode* child = inode.directory().find(name);
  if (!child) return fail(IoError::Kind::InodeNotFound);
  return child->id;
}

Expected<InodeId, IoError> FileSystem::find_inode_by_name_with_handle(const INode& inode,
                                                                      std::string_view name) const {
  SharedNs ns(*this);
  return find_locked(inode, name);
}

Expected<InodeId, IoError> FileSystem::find_inode_by_name(InodeId id, std::string_view name) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return find_locked(**node, name);
}

Expected<INode*, IoError> FileSystem::walk_locked(std::string_view path) const {
  auto root = resolve_locked(kRootId);
  if (!root) return root;
  const INode* current = *root;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = path.find_first_of(kSeparators, pos);
    const std::string_view component = path.substr(pos, end == std::string_view::npos ? end : end - pos);
    if (!component.empty() && component != ".") {
      InodeId next_id;
      if (component == "..") {
        next_id = current->parent;
      } else {
        if (current->kind_tag != KindTag::Directory) return fail(IoError::Kind::NotADirectory);
        const INode* child = current->directory().find(component);
        if (!child) return fail(IoError::Kind::InodeNotFound);
        next_id = child->id;
        if (child->kind_tag != KindTag::Symlink && child->in_table.load(std::memory_order_relaxed)) {
          current = child;  // the common case: no second look-up
          if (end == std::string_view::npos) break;
          pos = end + 1;
          continue;
        }
      }
      auto next = resolve_locked(next_id);
      if (!next) return next;
      current = *next;
    }
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return const_cast<INode*>(current);
}

Expected<InodeId, IoError> FileSystem::get_inode_by_path_raw(std::string_view path) const {
  SharedNs ns(*this);
  auto node = walk_locked(path);
  if (!node) return Unexpected(node.error());
  return (*node)->id;
}

Expected<std::string, IoError> FileSystem::get_path_by_inode(InodeId id) const {
  SharedNs ns(*this);
  // The names stay readable while the namespace lock is held.
  std::vector<std::string_view> chain;
  std::size_t size = 0;
  for (InodeId current = id; current != kRootId;) {
    // A sound tree is at most kMaxDepth deep; only a looping link chain
    // could walk further.
    if (chain.size() > kMaxDepth) return fail(IoError::Kind::MaxRecursionDepthExceeded);
    auto node = resolve_locked(current);
    if (!node) return Unexpected(node.error());
    current = (*node)->parent;
    chain.push_back((*node)->name.view());
    size += chain.back().size() + 1;
  }
  if (chain.empty()) return std::string("/");
  std::string path;
  path.reserve(size);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += '/';
    path += *it;
  }
  return path;
}

Expected<bool, IoError> FileSystem::is_file_raw(InodeId id) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return (*node)->kind_tag != KindTag::Directory;
}

Expected<bool, IoError> FileSystem::is_directory_raw(InodeId id) const {
  SharedNs ns(*this);
  auto node = resolve_locked(id);
  if (!node) return Unexpected(node.error());
  return (*node)->kind_tag == KindTag::Directory;
}

}  // namespace ferrowick
