#include <string>

#include "fs/file_lock.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

namespace {

[[noreturn]] void panic_broken(const BrokenChild& broken) {
  panic("listed child " + std::to_string(broken.id) + " " + broken.what + ": " + broken.error.name());
}

}  // namespace

Expected<void, IoError> FileSystem::create_at(std::string_view path, INodeKind kind) {
  const PathSplit split = split_last_separator(path);
  InodeId parent;
  {
    SharedNs ns(*this);
    auto resolved = walk_locked(split.parent);
    if (!resolved) return Unexpected(resolved.error());
    parent = (*resolved)->id;
    // In a large directory the name's index slot is a cache miss; start
    // loading it now so that it overlaps building the record.
    if ((*resolved)->kind_tag == KindTag::Directory) (*resolved)->directory().prefetch(split.name);
  }
  auto created = create_inode(parent, split.name, std::move(kind));
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

// Removal holds the namespace lock exclusively from the first check to the
// last release, so no entry can appear below a directory being emptied and
// the checks of both phases see one state.
Expected<void, IoError> FileSystem::rm_raw(InodeId id, bool recursive) {
  ExclusiveNs ns(*this);
  // The record `id` names is removed, a link itself (its target stays). rm()
  // resolves its whole path first, so a path ending in a link names the
  // link's target and removes that.
  INode* node = table_.find(id);
  if (!node) return io_failure(IoError::Kind::InodeNotFound);
  if (node->kind_tag == KindTag::Directory && !node->directory().empty()) {
    if (!recursive) return io_failure(IoError::Kind::DirectoryIsNotEmpty);
    if (auto r = remove_children_locked(*node); !r) return r;  // what was removed stays removed
  }
  // The file system always keeps its root; emptying it is all removal does.
  if (node->id == kRootId) return {};
  return detach_locked(*node);
}

Expected<void, IoError> FileSystem::check_removable_locked(INode& node) {
  if (node.kind_tag == KindTag::File) {
    // No handle can be opened meanwhile (opening shares the namespace lock);
    // one may still be closing, which the compare-and-swap settles.
    if (!begin_file_removal(std::get<File>(node.data.peek()).lock)) return io_failure(IoError::Kind::ResourceCurrentInUse);
  } else if (node.kind_tag == KindTag::Directory) {
    if (!node.directory().empty()) return io_failure(IoError::Kind::DirectoryIsNotEmpty);
  }
  return {};
}

void FileSystem::erase_locked(INode& node) noexcept {
  if (node.kind_tag == KindTag::Directory) node.detached = true;
  if (INode* removed = table_.erase(node.id)) removed->release();
}

Expected<void, IoError> FileSystem::remove_children_locked(INode& dir_node) {
  // Depth first, in list order. Each child is checked and taken out of the
  // table as it is reached; the list itself is cut once at the end, or, on
  // a failure, just before the child that failed.
  Directory& dir = dir_node.directory();
  std::size_t removed = 0;
  Expected<void, IoError> result;
  dir.for_each_child([&](INode* child) {
    assert_ns_held_exclusively();
    if (!result) return;
    if (child->kind_tag == KindTag::Directory && !child->directory().empty()) {
      result = remove_children_locked(*child);
      if (!result) return;
    }
    result = check_removable_locked(*child);
    if (!result) return;
    erase_locked(*child);
    ++removed;
  });
  if (removed) {
    auto guard = dir_node.data.write();
    std::get<Directory>(*guard).remove_first(removed, next_stamp());  // the bulk free
    dir_node.touch_mtime(clock_now_ns());
  }
  return result;
}

Expected<void, IoError> FileSystem::detach_locked(INode& node) {
  auto parent = resolve_locked(node.parent);
  if (!parent) return Unexpected(parent.error());
  INode& parent_node = **parent;
  if (auto r = check_removable_locked(node); !r) return r;
  if (parent_node.kind_tag != KindTag::Directory) {
    if (node.kind_tag == KindTag::File) abort_file_removal(std::get<File>(node.data.peek()).lock);
    return io_failure(IoError::Kind::NotADirectory);
  }
  // Keeps the record alive until it has left both the list and the table.
  INodeRef hold = INodeRef::retain(&node);
  {
    auto guard = parent_node.data.write();
    std::get<Directory>(*guard).remove(&node, next_stamp());
  }
  parent_node.touch_mtime(clock_now_ns());
  erase_locked(node);
  return {};
}

template <class Visit>
BrokenChild FileSystem::visit_children_locked(const INode& dir_node, Visit&& visit) const {
  BrokenChild broken;
  dir_node.directory().for_each_child([&](const INode* child) {
    assert_ns_held();
    if (broken.what) return;
    // Removal unlists a child and drops its record under the namespace
    // lock, so a child that is still listed must have a record.
    if (!child->in_table.load(std::memory_order_relaxed)) {
      broken = {child->id, "vanished", IoError(IoError::Kind::InodeNotFound)};
      return;
    }
    KindTag kind = child->kind_tag;
    if (kind == KindTag::Symlink) {
      auto target = resolve_locked(child->id);
      if (!target) {
        broken = {child->id, "cannot be resolved", target.error()};
        return;
      }
      kind = (*target)->kind_tag;
    }
    visit(child->name.view(), kind == KindTag::Directory);
  });
  return broken;
}

Expected<Listing, IoError> FileSystem::ls_raw(InodeId id) const {
  Listing listing;
  BrokenChild broken;
  {
    SharedNs ns(*this);
    auto resolved = resolve_locked(id);
    if (!resolved) return Unexpected(resolved.error());
    const INode& dir_node = **resolved;
    if (dir_node.kind_tag != KindTag::Directory) return io_failure(IoError::Kind::NotADirectory);
    broken = visit_children_locked(dir_node, [&](std::string_view name, bool is_dir) {
      (is_dir ? listing.directories : listing.files).emplace_back(name);
    });
  }
  // Outside the lock: a broken tree must not poison the file system.
  if (broken.what) panic_broken(broken);
  return listing;
}

Expected<ListingKey, IoError> FileSystem::list_path(std::string_view path, std::span<const ListingKey> known,
                                                    FlatListing& out) const {
  ListingKey key;
  BrokenChild broken;
  {
    SharedNs ns(*this);
    auto resolved = walk_locked(path);
    if (!resolved) return Unexpected(resolved.error());
    const INode& dir_node = **resolved;
    if (dir_node.kind_tag != KindTag::Directory) return io_failure(IoError::Kind::NotADirectory);
    key = {dir_node.id, dir_node.directory().stamp(), true};
    for (const ListingKey& k : known)
      if (k == key) return key;
    out.names.clear();
    out.ends.clear();
    out.ends.reserve(dir_node.directory().size());
    // Two passes: every non-directory, then every directory.
    for (const bool want_dirs : {false, true}) {
      broken = visit_children_locked(dir_node, [&](std::string_view name, bool is_dir) {
        if (is_dir != want_dirs) return;
        out.names.append(name);
        out.ends.push_back(out.names.size());
      });
      if (broken.what) break;
      if (!want_dirs) out.file_count = out.ends.size();
    }
  }
  if (broken.what) panic_broken(broken);
  return key;
}

}  // namespace ferrowick
