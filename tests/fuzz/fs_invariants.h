// Structural checks of a FileSystem at rest, shared by the fuzz targets and
// the concurrency stress test.
//
// check_fs_invariants() walks the tree from the root and returns a text
// naming the first broken rule, or "" when the file system is sound:
//   - the root is id 0, parent 0, unnamed, a directory;
//   - every listed child has a record whose parent is the listing directory,
//     that lies at most 64 levels deep, whose height is below its
//     directory's (the bound covers it), and whose name is valid;
//   - no directory lists two children of one name, or one child twice;
//   - a directory's live count and name index agree with its slots;
//   - every record in the table is reachable from the root (nothing leaked)
//     and below next_inode_id;
//   - ls_raw gives exactly the listed names, split by kind;
//   - with `expect_unlocked`, every file's lock word is 0 (no handle open).
// Only valid while no other thread changes the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "fs/file_system.h"

namespace ferrowick::fscheck {

inline bool valid_entry_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos;
}

namespace detail {

inline std::string where(InodeId id) { return "inode " + std::to_string(id) + ": "; }

// Checks one directory's own bookkeeping and queues its children.
// `expected` receives the names ls_raw must give, split by kind.
inline std::string check_directory(const FileSystem& fs, const INode& dir_node, std::size_t depth,
                                   const Directory& dir, std::vector<std::pair<InodeId, std::size_t>>& queue,
                                   std::unordered_set<InodeId>& seen, Listing& expected) {
  const InodeId id = dir_node.id;
  if (dir_node.detached) return where(id) + "reachable directory is marked detached";
  std::unordered_set<std::string_view> names;
  std::size_t live = 0;
  std::string broken;
  dir.for_each_child([&](const INode* child) {
    if (!broken.empty()) return;
    const InodeId child_id = child->id;
    ++live;
    if (fs.lookup(child_id).get() != child) {
      broken = where(id) + "lists child " + std::to_string(child_id) + " that has no record";
    } else if (child->parent != id) {
      broken = where(child_id) + "parent is " + std::to_string(child->parent) + " but it is listed by " +
               std::to_string(id);
    } else if (depth + 1 > kMaxDepth) {
      broken = where(child_id) + "lies " + std::to_string(depth + 1) + " levels deep";
    } else if (child->height >= dir_node.height) {
      broken = where(child_id) + "height " + std::to_string(child->height) + " not below its directory's " +
               std::to_string(dir_node.height);
    } else if (!valid_entry_name(child->name)) {
      broken = where(child_id) + "invalid name \"" + child->name + "\"";
    } else if (!names.insert(child->name.view()).second) {
      broken = where(id) + "two children named \"" + child->name + "\"";
    } else if (!seen.insert(child_id).second) {
      broken = where(child_id) + "listed more than once";
    } else if (dir.find(child->name) != child) {
      broken = where(id) + "name look-up does not find \"" + child->name + "\"";
    } else {
      (child->kind_tag == KindTag::Directory ? expected.directories : expected.files).emplace_back(child->name);
      queue.emplace_back(child_id, depth + 1);
    }
  });
  if (!broken.empty()) return broken;
  if (live != dir.size()) return where(id) + "live count " + std::to_string(dir.size()) + " but " +
                               std::to_string(live) + " children listed";
  if (dir.slot_count() > 2 * live + 1) return where(id) + "tombstones outnumber live children";
  return "";
}

}  // namespace detail

inline std::string check_fs_invariants(const FileSystem& fs, bool expect_unlocked) {
  INodeRef root = fs.lookup(kRootId);
  if (!root) return "the root has no record";
  if (root->parent != kRootId || !root->name.empty() || root->kind_tag != KindTag::Directory)
    return "the root record is malformed";

  std::vector<std::pair<InodeId, std::size_t>> queue{{kRootId, 0}};
  std::unordered_set<InodeId> seen{kRootId};
  const std::uint64_t next_id = fs.next_inode_id();
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const auto [id, depth] = queue[i];
    INodeRef node = fs.lookup(id);
    if (node->id != id) return detail::where(id) + "record carries id " + std::to_string(node->id);
    if (id != kRootId && id >= next_id) return detail::where(id) + "at or above next_inode_id";
    Listing expected;
    bool is_dir = false;
    {
      auto guard = node->data.read();
      if (static_cast<std::size_t>(node->kind_tag) != guard->index())
        return detail::where(id) + "kind tag disagrees with the kind";
      if (const auto* dir = std::get_if<Directory>(&*guard)) {
        is_dir = true;
        std::string broken = detail::check_directory(fs, *node, depth, *dir, queue, seen, expected);
        if (!broken.empty()) return broken;
      } else if (const auto* file = std::get_if<File>(&*guard)) {
        const std::int32_t flag = file->lock.flag.load();
        if (expect_unlocked ? flag != 0 : flag < FileLock::WRITE_EXCLUSIVE)
          return detail::where(id) + "lock word " + std::to_string(flag) + " on a reachable file";
      }
    }
    // Outside the directory's lock: ls_raw takes it itself.
    if (is_dir) {
      auto listing = fs.ls_raw(id);
      if (!listing) return detail::where(id) + "ls_raw failed: " + listing.error().name();
      if (listing->files != expected.files || listing->directories != expected.directories)
        return detail::where(id) + "ls_raw disagrees with the children";
    }
  }
  if (queue.size() != fs.inode_count())
    return std::to_string(fs.inode_count() - queue.size()) + " record(s) in the table are not reachable from the root";
  return "";
}

}  // namespace ferrowick::fscheck
