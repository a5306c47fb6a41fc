// SnapshotImage: a neutral description of a whole file-system tree, the
// meeting point of the snapshot codec and the file system.
//
//   FileSystem --snapshot_image()--> image --encode_snapshot()--> bytes
//   bytes --decode_snapshot()--> image --FileSystem::restore()--> FileSystem
//
// An image does not own the names and file contents it describes: they are
// views into the snapshot bytes (when decoded) or into the records of a file
// system (when taken from one), which must outlive the image.
//
// A well-formed image (every decoded image is one) lists its records in
// strictly increasing identifier order, the root (id 0, a directory) first;
// every other record is listed by exactly one directory, is reachable from
// the root, lies at most 64 levels deep, has a valid name unique within its
// directory, and has an identifier below next_inode_id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fs/inode.h"

namespace ferrowick {

struct ImageRecord {
  InodeId id = 0;
  InodeId parent = 0;  // the directory that lists it; 0 for the root
  std::string_view name;
  std::span<const std::uint8_t> data;  // files: the content
  std::uint32_t first_child = 0;       // directories: the listing is
  std::uint32_t child_count = 0;       //   children[first_child, +child_count)
  std::int64_t mtime_ns = 0;      // see INode
  std::int64_t birthtime_ns = 0;
  std::uint8_t depth = 0;  // filled in by the decoder's checks
  KindTag kind = KindTag::Directory;
};

struct SnapshotImage {
  std::uint64_t next_inode_id = 1;
  std::vector<ImageRecord> records;
  std::vector<InodeId> children;  // every directory's listing, back to back

  std::span<const InodeId> children_of(const ImageRecord& r) const {
    return std::span<const InodeId>(children).subspan(r.first_child, r.child_count);
  }
  // Bytes held by the image itself (not the views), for allocation bounds.
  std::size_t footprint() const {
    return records.capacity() * sizeof(ImageRecord) + children.capacity() * sizeof(InodeId);
  }
};

// Why a snapshot was refused (or could not be written): one sentence that
// the script binding raises as ValueError.
struct SnapshotError {
  std::string message;
};

}  // namespace ferrowick
