// Moving an entry to another path: FileSystem::rename.
//
// The whole move runs in one exclusive hold of the namespace lock, so every
// other operation sees the entry either at its old path or at its new one,
// and a replaced entry either still there or already the moved one. Nothing
// is copied: the record changes its name and its parent and moves from one
// listing to another; what lies below a directory goes with it untouched.
#include "fs/file_lock.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

Expected<void, IoError> FileSystem::rename(std::string_view from, std::string_view to) {
  const PathSplit target = split_last_separator(to);
  const std::int64_t now = clock_now_ns();
  ExclusiveNs ns(*this);
  auto source = entry_locked(from);
  if (!source) return Unexpected(source.error());
  INode& node = **source;
  if (node.id == kRootId) return io_failure(IoError::Kind::ResourceCurrentInUse);
  auto into = walk_locked(target.parent);
  if (!into) return Unexpected(into.error());
  INode& dir_node = **into;
  if (dir_node.kind_tag != KindTag::Directory) return io_failure(IoError::Kind::NotADirectory);
  if (!is_valid_name(target.name)) return io_failure(IoError::Kind::ResourceAlreadyExists);
  INode* const replaced = dir_node.directory().find(target.name);
  if (replaced == &node) return {};  // both paths name this entry

  // A directory may not land inside itself; nothing may land too deep. The
  // height is an upper bound: only when it says no is it worth the walk
  // over what moves that gives the exact one.
  auto dir_depth = depth_locked(dir_node, &node);
  if (!dir_depth) return Unexpected(dir_depth.error());
  const std::size_t depth = *dir_depth + 1;
  if (depth + node.height > kMaxDepth && depth + exact_height_locked(node) > kMaxDepth)
    return io_failure(IoError::Kind::MaxRecursionDepthExceeded);

  const bool moves_dir = node.kind_tag == KindTag::Directory;
  if (replaced) {
    const bool replaces_dir = replaced->kind_tag == KindTag::Directory;
    if (replaces_dir && !moves_dir) return io_failure(IoError::Kind::NotAFile);
    if (!replaces_dir && moves_dir) return io_failure(IoError::Kind::NotADirectory);
  }
  auto parent = resolve_locked(node.parent);
  if (!parent) return Unexpected(parent.error());
  INode& from_dir = **parent;
  // What allocates comes before the last check, which may mark a replaced
  // file as going: nothing is left to fail after it.
  Name name(target.name);
  dir_node.directory().reserve_one();
  if (replaced) {
    if (auto r = check_removable_locked(*replaced); !r) return r;
  }

  // Keeps the record alive while no listing holds it.
  INodeRef hold = INodeRef::retain(&node);
  {
    auto guard = from_dir.data.write();
    // The directory that lists it again keeps the room reserved for it.
    std::get<Directory>(*guard).remove(&node, next_stamp(), /*give_back_memory=*/&from_dir != &dir_node);
  }
  from_dir.touch_mtime(now);
  if (replaced) {
    INodeRef gone = INodeRef::retain(replaced);
    {
      auto guard = dir_node.data.write();
      std::get<Directory>(*guard).remove(replaced, next_stamp(), /*give_back_memory=*/false);
    }
    erase_locked(*replaced);
  }
  node.name = std::move(name);
  node.parent = dir_node.id;
  {
    auto guard = dir_node.data.write();
    std::get<Directory>(*guard).append(&node, next_stamp());
  }
  dir_node.touch_mtime(now);
  raise_heights_locked(dir_node, std::size_t{node.height} + 1);
  return {};
}

}  // namespace ferrowick
