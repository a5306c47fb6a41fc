// Cloning a file system, and converting it to and from a SnapshotImage.
#include <utility>
#include <vector>

#include "common/prefault.h"
#include "fs/file_lock.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"
#include "fs/record_arena.h"

namespace ferrowick {

namespace {
constexpr std::size_t kAhead = 16;

// Starts loading a record, which may span two cache lines.
void fetch_record(const INode* node) noexcept {
  const auto* start = reinterpret_cast<const char*>(node);
  __builtin_prefetch(start);
  __builtin_prefetch(start + sizeof(INode) - 1);
}
}  // namespace

template <class Kind>
INode* FileSystem::adopt_record(RecordArena& arena, InodeId id, InodeId parent, std::string_view name, Kind&& kind) {
  table_.reserve(id);  // may throw: nothing is built yet
  INode* node = arena.make(id, parent, name, std::forward<Kind>(kind));
  if (INode* replaced = table_.insert(node)) replaced->release();
  return node;
}

std::shared_ptr<FileSystem> FileSystem::clone() const {
  auto copy = create();
  copy->assert_unshared();
  // Held exclusively, the namespace lock keeps the table and every listing
  // still, and it keeps every file that has no writer without one: a file's
  // bytes change only through a handle holding its lock word as the writer,
  // and handles take that word under the namespace lock. Such files are read
  // as they are; a file with a writer is read under its own lock, so that a
  // write is in the copy whole or not at all.
  ExclusiveNs ns(*this);

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
  RecordArena arena(table_.size());  // after `copy`: gone first if anything throws
  auto list_children = [&](const INode& from, INode& to) {
    from.directory().for_each_child([&](const INode* child) { queue.push_back({child, &from, &to}); });
  };
  list_children(*table_.find(kRootId), *copy->table_.find(kRootId));
  std::vector<INode*> made_children;  // of the directory being copied

  // Records and file blocks lie all over the heap, and a clone touches each
  // once: records (both of their lines) are fetched kAhead * 2 items ahead,
  // and the blocks of files without a writer kAhead items ahead.
  for (std::size_t i = 0; i < queue.size(); ++i) {
    if (i + 2 * kAhead < queue.size()) fetch_record(queue[i + 2 * kAhead].from);
    // A directory's copies are listed when its last child is done, which
    // reads the directory and its copy again.
    if (i == 0 || queue[i].parent != queue[i - 1].parent) {
      fetch_record(queue[i].from_parent);
      fetch_record(queue[i].parent);
    }
    if (i + kAhead < queue.size()) {
      const INode* ahead = queue[i + kAhead].from;
      if (ahead->kind_tag == KindTag::File) {
        const File& file = std::get<File>(ahead->data.peek());
        if (!has_file_writer(file.lock)) file.data.data.prefetch();
      }
    }
    const INode* child = queue[i].from;
    INode* made;
    std::int64_t mtime_ns;
    if (child->kind_tag == KindTag::File) {
      File file;  // lock word 0: no handle carries over
      const File& from = std::get<File>(child->data.peek());
      if (has_file_writer(from.lock)) {
        auto guard = child->data.read();
        file.data.data = std::get<File>(*guard).data.data.share();
        mtime_ns = child->mtime_ns;
      } else {
        // Without a writer, and with its file system's namespace held, this
        // owner can neither write nor go away while it is shared.
        file.data.data = from.data.data.share_unraced();
        mtime_ns = child->mtime_ns;
      }
      made = copy->adopt_record(arena, child->id, child->parent, child->name, std::move(file));
    } else if (child->kind_tag == KindTag::Symlink) {
      // A link's target never changes.
      made = copy->adopt_record(arena, child->id, child->parent, child->name,
                                Symlink(std::get<Symlink>(child->data.peek())));
      mtime_ns = child->mtime_ns;
    } else {
      made = copy->adopt_record(arena, child->id, child->parent, child->name, Directory());
      mtime_ns = child->mtime_ns;
    }
    made->height = child->height;
    made->mtime_ns = mtime_ns;
    made->birthtime_ns = child->birthtime_ns;
    made_children.push_back(made);
    if (made->kind_tag == KindTag::Directory) list_children(*child, *made);
    // A directory's children are queued together: list the copies at once.
    if (i + 1 == queue.size() || queue[i + 1].parent != queue[i].parent) {
      queue[i].parent->directory().assign_copies(queue[i].from_parent->directory(), made_children,
                                                 copy->next_stamp(), arena);
      made_children.clear();
    }
  }
  const INode& root = *table_.find(kRootId);
  INode& root_copy = *copy->table_.find(kRootId);
  root_copy.height = root.height;
  root_copy.mtime_ns = root.mtime_ns;
  root_copy.birthtime_ns = root.birthtime_ns;
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
    r.name = node.name;
    r.kind = node.kind_tag;
    r.mtime_ns = node.mtime_ns;
    r.birthtime_ns = node.birthtime_ns;
    if (node.kind_tag == KindTag::File) {
      // Nobody changes this file system (see the header), so the view
      // outlives the lock.
      auto guard = node.data.read();
      const ByteBuffer& bytes = std::get<File>(*guard).data.data;
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
  fs->assert_unshared();
  RecordArena arena(image.records.size());
  for (const ImageRecord& r : image.records) {
    INode* made;
    if (r.id == kRootId) {
      made = fs->table_.find(kRootId);
    } else if (r.kind != KindTag::File) {
      made = fs->adopt_record(arena, r.id, r.parent, r.name, Directory());
    } else {
      File file;
      file.data.data.reserve(r.data.size());
      if (!r.data.empty()) prefault(file.data.data.data(), r.data.size());
      file.data.data.append(r.data.data(), r.data.size());
      made = fs->adopt_record(arena, r.id, r.parent, r.name, std::move(file));
    }
    made->mtime_ns = r.mtime_ns;
    made->birthtime_ns = r.birthtime_ns;
  }
  // Every record is in the table before any directory lists it.
  for (const ImageRecord& r : image.records) {
    if (r.kind != KindTag::Directory) continue;
    Directory& listing = fs->table_.find(r.id)->directory();
    listing.reserve(r.child_count);
    for (InodeId child : image.children_of(r)) listing.append(fs->table_.find(child), fs->next_stamp());
  }
  // The height bounds, from every record that lists nothing upwards.
  for (const ImageRecord& r : image.records)
    if (r.id != kRootId && (r.kind == KindTag::File || r.child_count == 0))
      fs->raise_heights_locked(*fs->table_.find(r.parent), 1);
  fs->next_inode_id_.store(image.next_inode_id);
  return fs;
}

}  // namespace ferrowick
