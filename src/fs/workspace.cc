// Cloning a file system, and converting it to and from a SnapshotImage.
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "common/prefault.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

namespace {
constexpr std::size_t kAhead = 8;
constexpr std::size_t kRing = 16;  // more than kAhead + 1 items in flight
}  // namespace

INode* FileSystem::adopt_record(InodeId id, InodeId parent, std::size_t depth, std::string_view name,
                                INodeKind kind) {
  table_.reserve(id);  // may throw: nothing is built yet
  INode* node = new INode(id, parent, depth, name, std::move(kind));
  if (INode* replaced = table_.insert(node)) replaced->release();
  return node;
}

std::shared_ptr<FileSystem> FileSystem::clone() const {
  auto copy = create();
  // Creation and removal hold the namespace lock exclusively, so while it is
  // shared here the table and every listing hold still. A file's bytes are
  // shared under its own lock: a write is in them whole or not at all.
  SharedNs ns(*this);

  // Breadth first through the listings: each record is read once, when its
  // directory lists it, and its copy is listed in the same place. A sound
  // tree lists every record of the table exactly once.
  struct Item {
    const INode* from;
    const INode* from_parent;  // the directory that lists it
    INode* parent;             // and its copy
  };
  std::vector<Item> queue;
  queue.reserve(table_.size());
  auto list_children = [&](const INode& from, INode& to) {
    from.directory().for_each_child([&](const INode* child) { queue.push_back({child, &from, &to}); });
  };
  list_children(*table_.find(kRootId), *copy->table_.find(kRootId));
  std::vector<INode*> made_children;  // of the directory being copied

  // Records and file blocks lie all over the heap, and a clone touches each
  // once: records are fetched kAhead * 2 items ahead, and files are locked
  // kAhead items ahead so that their blocks can be fetched too.
  using FileGuard = decltype(std::declval<const INode&>().data.read());
  std::array<std::optional<FileGuard>, kRing> guards;
  std::size_t locked = 0;  // items [0, locked) have their files locked
  for (std::size_t i = 0; i < queue.size(); ++i) {
    if (i + 2 * kAhead < queue.size()) __builtin_prefetch(queue[i + 2 * kAhead].from);
    for (; locked < queue.size() && locked <= i + kAhead; ++locked) {
      if (queue[locked].from->kind_tag != KindTag::File) continue;
      auto& guard = guards[locked % kRing].emplace(queue[locked].from->data.read());
      std::get<File>(*guard).data.data.prefetch();
    }
    const INode* child = queue[i].from;
    INodeKind kind(std::in_place_type<Directory>);
    if (child->kind_tag == KindTag::File) {
      std::optional<FileGuard>& guard = guards[i % kRing];
      File file;  // lock word 0: no handle carries over
      file.data.data = std::get<File>(**guard).data.data.share();
      guard.reset();
      kind = std::move(file);
    } else if (child->kind_tag == KindTag::Symlink) {
      kind = std::get<Symlink>(child->data.peek());  // a link's target never changes
    }
    INode* made = copy->adopt_record(child->id, child->parent, child->depth, child->name, std::move(kind));
    made_children.push_back(made);
    if (made->kind_tag == KindTag::Directory) list_children(*child, *made);
    // A directory's children are queued together: list the copies at once.
    if (i + 1 == queue.size() || queue[i + 1].parent != queue[i].parent) {
      queue[i].parent->directory().assign_copies(queue[i].from_parent->directory(), made_children,
                                                 copy->next_stamp());
      made_children.clear();
    }
  }
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
      file.data.data.reserve(r.data.size());
      if (!r.data.empty()) prefault(file.data.data.data(), r.data.size());
      file.data.data.append(r.data.data(), r.data.size());
      kind = std::move(file);
    }
    fs->adopt_record(r.id, r.parent, r.depth, r.name, std::move(kind));
  }
  // Every record is in the table before any directory lists it.
  for (const ImageRecord& r : image.records) {
    if (r.kind != KindTag::Directory) continue;
    Directory& listing = fs->table_.find(r.id)->directory();
    listing.reserve(r.child_count);
    for (InodeId child : image.children_of(r)) listing.append(fs->table_.find(child), fs->next_stamp());
  }
  fs->next_inode_id_.store(image.next_inode_id);
  return fs;
}

}  // namespace ferrowick
