// Cloning a file system, and converting it to and from a SnapshotImage.
#include <utility>

#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

void FileSystem::adopt_record(InodeId id, InodeId parent, std::size_t depth, std::string_view name, INodeKind kind) {
  table_.reserve(id);  // may throw: nothing is built yet
  INode* node = new INode(id, parent, depth, name, std::move(kind));
  if (INode* replaced = table_.insert(node)) replaced->release();
}

void FileSystem::adopt_child(InodeId dir, InodeId child) {
  Directory& listing = table_.find(dir)->directory();
  listing.reserve_one();
  listing.append(table_.find(child), next_stamp());
}

std::shared_ptr<FileSystem> FileSystem::clone() const {
  auto copy = create();
  // Creation and removal hold the namespace lock exclusively, so while it is
  // shared here the table and every listing hold still. A file's bytes are
  // shared under its own lock: a write is in them whole or not at all.
  SharedNs ns(*this);
  table_.for_each([&](const INode& node) {
    if (node.id == kRootId) return;
    INodeKind kind(std::in_place_type<Directory>);
    if (node.kind_tag == KindTag::File) {
      File file;  // lock word 0: no handle carries over
      file.data.data = std::get<File>(*node.data.read()).data.data.share();
      kind = std::move(file);
    } else if (node.kind_tag == KindTag::Symlink) {
      kind = std::get<Symlink>(node.data.peek());  // a link's target never changes
    }
    copy->adopt_record(node.id, node.parent, node.depth, node.name, std::move(kind));
  });
  table_.for_each([&](const INode& node) {
    if (node.kind_tag != KindTag::Directory) return;
    node.directory().for_each_child([&](const INode* child) { copy->adopt_child(node.id, child->id); });
  });
  // Read last: every identifier copied was handed out before.
  copy->next_inode_id_.store(next_inode_id_.load());
  return copy;
}

SnapshotImage FileSystem::snapshot_image() const {
  SnapshotImage image;
  SharedNs ns(*this);
  image.next_inode_id = next_inode_id_.load();
  image.records.reserve(table_.size());
  table_.for_each([&](const INode& node) {
    ImageRecord r;
    r.id = node.id;
    r.parent = node.parent;
    r.depth = node.depth;
    r.name = node.name;
    r.kind = node.kind_tag;
    if (node.kind_tag == KindTag::File) {
      // Nobody changes this file system (see the header), so the view
      // outlives the lock.
      const ByteBuffer& bytes = std::get<File>(*node.data.read()).data.data;
      r.data = std::span<const std::uint8_t>(bytes.data(), bytes.size());
    } else if (node.kind_tag == KindTag::Directory) {
      r.first_child = static_cast<std::uint32_t>(image.children.size());
      node.directory().for_each_child([&](const INode* child) { image.children.push_back(child->id); });
      r.child_count = static_cast<std::uint32_t>(image.children.size() - r.first_child);
    }
    image.records.push_back(r);
  });
  return image;
}

std::shared_ptr<FileSystem> FileSystem::restore(const SnapshotImage& image) {
  auto fs = create();
  for (const ImageRecord& r : image.records) {
    if (r.id == kRootId) continue;
    INodeKind kind(std::in_place_type<Directory>);
    if (r.kind == KindTag::File) {
      File file;
      file.data.data.append(r.data.data(), r.data.size());
      kind = std::move(file);
    }
    fs->adopt_record(r.id, r.parent, r.depth, r.name, std::move(kind));
  }
  // Every record is in the table before any directory lists it.
  for (const ImageRecord& r : image.records)
    if (r.kind == KindTag::Directory)
      for (InodeId child : image.children_of(r)) fs->adopt_child(r.id, child);
  fs->next_inode_id_.store(image.next_inode_id);
  return fs;
}

}  // namespace ferrowick
