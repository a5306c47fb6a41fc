// Encoding a SnapshotImage: one pass to size the output exactly, one to
// write it, so that a caller can hand over its final buffer (a Python bytes
// object) and file contents are copied once.
#include <cstring>

#include "common/panic.h"
#include "fs/snapshot_codec.h"
#include "fs/snapshot_wire.h"

namespace ferrowick {

namespace w = snapshot_wire;

Expected<std::size_t, SnapshotError> encoded_snapshot_size(const SnapshotImage& image) {
  std::size_t size = w::kHeaderSize + w::varint_size(image.next_inode_id) + w::varint_size(image.records.size());
  InodeId previous = 0;
  bool first = true;
  for (const ImageRecord& r : image.records) {
    if (!first) size += w::varint_size(r.id - previous) + w::varint_size(r.name.size()) + r.name.size();
    size += 1 + w::varint_size(static_cast<std::uint64_t>(r.mtime_ns)) +
            w::varint_size(static_cast<std::uint64_t>(r.birthtime_ns));  // kind, times
    switch (r.kind) {
      case KindTag::File:
        size += w::varint_size(r.data.size()) + r.data.size();
        break;
      case KindTag::Directory:
        size += w::varint_size(r.child_count);
        for (InodeId child : image.children_of(r)) size += w::varint_size(child);
        break;
      case KindTag::Symlink:
        return Unexpected(SnapshotError{"a file system holding symbolic links cannot be saved as a snapshot"});
    }
    previous = r.id;
    first = false;
  }
  return size;
}

void encode_snapshot_into(const SnapshotImage& image, std::span<std::uint8_t> out) {
  std::uint8_t* p = out.data();
  std::memcpy(p, w::kMagic, sizeof w::kMagic);
  p[4] = static_cast<std::uint8_t>(kSnapshotVersion & 0xFF);
  p[5] = static_cast<std::uint8_t>(kSnapshotVersion >> 8);
  p[6] = p[7] = 0;  // flags
  p += w::kHeaderSize;
  p = w::put_varint(p, image.next_inode_id);
  p = w::put_varint(p, image.records.size());
  InodeId previous = 0;
  bool first = true;
  for (const ImageRecord& r : image.records) {
    if (!first) {
      p = w::put_varint(p, r.id - previous);
    }
    *p++ = r.kind == KindTag::File ? w::kKindFile : w::kKindDirectory;
    if (!first) {
      p = w::put_varint(p, r.name.size());
      std::memcpy(p, r.name.data(), r.name.size());
      p += r.name.size();
    }
    p = w::put_varint(p, static_cast<std::uint64_t>(r.mtime_ns));
    p = w::put_varint(p, static_cast<std::uint64_t>(r.birthtime_ns));
    if (r.kind == KindTag::File) {
      p = w::put_varint(p, r.data.size());
      if (!r.data.empty()) std::memcpy(p, r.data.data(), r.data.size());
      p += r.data.size();
    } else {
      p = w::put_varint(p, r.child_count);
      for (InodeId child : image.children_of(r)) p = w::put_varint(p, child);
    }
    previous = r.id;
    first = false;
  }
  FERROWICK_ASSERT(p == out.data() + out.size());
}

Expected<std::vector<std::uint8_t>, SnapshotError> encode_snapshot(const SnapshotImage& image) {
  auto size = encoded_snapshot_size(image);
  if (!size) return Unexpected(size.error());
  std::vector<std::uint8_t> out(*size);
  encode_snapshot_into(image, out);
  return out;
}

}  // namespace ferrowick
