// Cloning a file system, and converting it to and from a SnapshotImage.
#include <algorithm>
#include <vector>

#include "fs/file_system.h"

namespace ferrowick {

SnapshotImage FileSystem::snapshot_image() const {
  SnapshotImage image;
  image.next_inode_id = next_inode_id_.load();
  image.records.reserve(table_.size());
  table_.for_each_sorted([&](const INode& node) {
    ImageRecord r;
    r.id = node.id;
    r.parent = node.parent;
    r.depth = static_cast<std::uint8_t>(node.depth);
    r.name = node.name;
    r.kind = node.kind_tag;
    // The records stay put and nobody changes them (see the header), so the
    // views outlive the lock.
    auto guard = node.data.read();
    if (const auto* file = std::get_if<File>(&*guard)) {
      r.data = std::span<const std::uint8_t>(file->data.data.data(), file->data.data.size());
    } else if (const auto* dir = std::get_if<Directory>(&*guard)) {
      r.first_child = static_cast<std::uint32_t>(image.children.size());
      dir->for_each_child([&](InodeId child) { image.children.push_back(child); });
      r.child_count = static_cast<std::uint32_t>(image.children.size() - r.first_child);
    }
    image.records.push_back(r);
  });
  return image;
}

std::shared_ptr<FileSystem> FileSystem::restore(const SnapshotImage& image) {
  auto fs = create();
  fs->next_inode_id_.store(image.next_inode_id);
  for (const ImageRecord& r : image.records) {
    if (r.id == kRootId) continue;
    INodeKind kind(std::in_place_type<Directory>);
    if (r.kind == KindTag::File) {
      File file;
      file.data.data.append(r.data.data(), r.data.size());
      kind = std::move(file);
    }
    fs->table_.insert(std::make_shared<INode>(r.id, r.parent, r.depth, std::string(r.name), std::move(kind)));
  }
  // Every record is in the table before any directory lists it.
  for (const ImageRecord& r : image.records) {
    if (r.kind != KindTag::Directory) continue;
    INodeRef node = fs->table_.get(r.id);
    auto guard = node->data.write();
    auto& dir = std::get<Directory>(*guard);
    for (InodeId child : image.children_of(r)) dir.append(child, fs->table_.get(child)->name, fs->table_);
  }
  return fs;
}

std::shared_ptr<FileSystem> FileSystem::clone() const {
  // Provisional: copies contents instead of sharing them.
  return restore(snapshot_image());
}

}  // namespace ferrowick
