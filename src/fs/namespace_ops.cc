#include <vector>

#include "fs/file_lock.h"
#include "fs/file_system.h"

namespace ferrowick {

namespace {

Unexpected<IoError> fail(IoError::Kind kind) { return Unexpected(IoError(kind)); }

// Snapshot of a directory's children, taken under its read lock.
std::vector<InodeId> copy_children(const Directory& dir) {
  std::vector<InodeId> ids;
  ids.reserve(dir.live);
  dir.for_each_child([&](InodeId id) { ids.push_back(id); });
  return ids;
}

bool still_listed(const INode& dir_node, InodeId child) {
  auto guard = dir_node.data.read();
  bool found = false;
  std::get<Directory>(*guard).for_each_child([&](InodeId id) { found = found || id == child; });
  return found;
}

}  // namespace

Expected<void, IoError> FileSystem::create_at(std::string_view path, INodeKind kind) {
  const PathSplit split = split_last_separator(path);
  auto parent = get_inode_by_path_raw(split.parent);
  if (!parent) return Unexpected(parent.error());
  auto created = create_inode(*parent, std::string(split.name), std::move(kind));
  if (!created) return Unexpected(created.error());
  return {};
}

Expected<void, IoError> FileSystem::mkdir(std::string_view path) {
  return create_at(path, INodeKind(std::in_place_type<Directory>));
}

Expected<void, IoError> FileSystem::touch(std::string_view path) {
  return create_at(path, INodeKind(std::in_place_type<File>));
}

Expected<void, IoError> FileSystem::rm(std::string_view path, bool recursive) {
  auto id = get_inode_by_path_raw(path);
  if (!id) return Unexpected(id.error());
  return rm_raw(*id, recursive);
}

Expected<void, IoError> FileSystem::rm_raw(InodeId id, bool recursive) {
  // A link is unlinked itself; removal never reaches through it.
  INodeRef node = table_.get(id);
  if (!node) return fail(IoError::Kind::InodeNotFound);

  // Phase 1: check, and descend depth-first into a directory's children.
  if (node->kind_tag == KindTag::Directory) {
    std::vector<InodeId> children;
    {
      auto guard = node->data.read();
      const auto& dir = std::get<Directory>(*guard);
      if (!dir.empty()) {
        if (!recursive) return fail(IoError::Kind::DirectoryIsNotEmpty);
        children = copy_children(dir);
      }
    }
    for (InodeId child : children) {
      auto removed = rm_raw(child, true);
      if (!removed) return removed;  // what was removed stays removed
    }
  }
  // The file system always keeps its root; emptying it is all removal does.
  if (node->id == kRootId) return {};
  return detach(node);
}

Expected<void, IoError> FileSystem::detach(const INodeRef& node) {
  auto parent = resolve_inode(node->parent);
  if (!parent) return Unexpected(parent.error());
  const INodeRef& parent_node = *parent;

  // Check the target on its own first: a file is marked as being removed so
  // that no handle can be opened on it any more.
  const File* file = nullptr;
  {
    auto guard = node->data.read();
    if (const auto* f = std::get_if<File>(&*guard)) {
      if (!begin_file_removal(f->lock)) return fail(IoError::Kind::ResourceCurrentInUse);
      file = f;  // the record outlives this scope: `node` holds it
    } else if (const auto* d = std::get_if<Directory>(&*guard)) {
      if (!d->empty()) return fail(IoError::Kind::DirectoryIsNotEmpty);
    }
  }

  INodeRef removed;
  {
    auto parent_guard = parent_node->data.write();
    auto* parent_dir = std::get_if<Directory>(&*parent_guard);
    if (!parent_dir) {
      if (file) abort_file_removal(file->lock);
      return fail(IoError::Kind::NotADirectory);
    }
    if (node->kind_tag == KindTag::Directory) {
      // Parent before child, as everywhere. Re-checked under the parent's
      // lock so that a child created meanwhile is never orphaned.
      auto guard = node->data.write();
      auto& dir = std::get<Directory>(*guard);
      if (dir.detached) return fail(IoError::Kind::InodeNotFound);
      if (!dir.empty()) return fail(IoError::Kind::DirectoryIsNotEmpty);
      dir.detached = true;
    }
    parent_dir->remove(node->id, node->name);
    removed = table_.erase(node->id);
  }
  return {};
}

Expected<Listing, IoError> FileSystem::ls_raw(InodeId id) const {
  auto resolved = resolve_inode(id);
  if (!resolved) return Unexpected(resolved.error());
  const INode& dir_node = **resolved;
  std::vector<InodeId> ids;
  {
    auto guard = dir_node.data.read();
    const auto* dir = std::get_if<Directory>(&*guard);
    if (!dir) return fail(IoError::Kind::NotADirectory);
    ids = copy_children(*dir);
  }

  Listing listing;
  for (InodeId child_id : ids) {
    INodeRef child = table_.get(child_id);
    if (!child) {
      // Removal unlists a child and drops its record under the directory's
      // write lock, so a child that is still listed must have a record.
      if (!still_listed(dir_node, child_id)) continue;  // removed meanwhile
      panic("listed child " + std::to_string(child_id) + " vanished: " + IoError(IoError::Kind::InodeNotFound).name());
    }
    KindTag kind = child->kind_tag;
    if (kind == KindTag::Symlink) {
      auto target = resolve_inode(child_id);
      if (!target) panic("listed child " + std::to_string(child_id) + " cannot be resolved: " + target.error().name());
      kind = (*target)->kind_tag;
    }
    (kind == KindTag::Directory ? listing.directories : listing.files).push_back(child->name);
  }
  return listing;
}

}  // namespace ferrowick
