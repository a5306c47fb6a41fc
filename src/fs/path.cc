#include <vector>

#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

namespace {

// Plain loops: find_first_of/find_last_of with a two-character set cost a
// library call per character.
bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool holds_separator(std::string_view name) {
  for (char c : name)
    if (is_separator(c)) return true;
  return false;
}

bool is_valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && !holds_separator(name);
}

PathSplit split_last_separator(std::string_view path) {
  for (std::size_t i = path.size(); i-- > 0;)
    if (is_separator(path[i])) return {path.substr(0, i), path.substr(i + 1)};
  return {std::string_view(), path};
}

Expected<InodeId, IoError> FileSystem::find_locked(const INode& inode, std::string_view name) const {
  // These answers do not depend on the kind, so they work on files too.
  if (name.empty() || name == ".") return inode.id;
  if (name == "..") return inode.parent;
  if (inode.kind_tag != KindTag::Directory) return io_failure(IoError::Kind::NotADirectory);
  const INode* child = inode.directory().find(name);
  if (!child) return io_failure(IoError::Kind::InodeNotFound);
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
  const char* p = path.data();
  const char* const end = p + path.size();
  for (;;) {
    const char* stop = p;
    while (stop < end && !is_separator(*stop)) ++stop;
    const auto len = static_cast<std::size_t>(stop - p);
    // Empty components and "." stay in place.
    if (len != 0 && !(len == 1 && p[0] == '.')) {
      if (len == 2 && p[0] == '.' && p[1] == '.') {
        auto next = resolve_locked(current->parent);
        if (!next) return next;
        current = *next;
      } else {
        if (current->kind_tag != KindTag::Directory) return io_failure(IoError::Kind::NotADirectory);
        const INode* child = current->directory().find(std::string_view(p, len));
        if (!child) return io_failure(IoError::Kind::InodeNotFound);
        if (child->kind_tag == KindTag::Symlink || !child->in_table.load(std::memory_order_relaxed)) {
          auto next = resolve_locked(child->id);
          if (!next) return next;
          child = *next;
        }
        current = child;
      }
    }
    if (stop == end) break;
    p = stop + 1;
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
    if (chain.size() > kMaxDepth) return io_failure(IoError::Kind::MaxRecursionDepthExceeded);
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
