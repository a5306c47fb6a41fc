// The snapshot byte format (docs/snapshot-format.md): encoding a
// SnapshotImage to bytes and decoding bytes back into one.
//
// Decoding validates everything before it returns: any input that is not
// exactly the encoding of a well-formed image (see snapshot_image.h) yields
// a SnapshotError naming the first fault and, for faults of the byte layout,
// its offset. It never reads past the input, never allocates on the word of
// a size field that the remaining input cannot back, and keeps its working
// memory (SnapshotImage::footprint) within kDecodeMemoryFactor times the
// input size plus a few kilobytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/expected.h"
#include "fs/snapshot_image.h"

namespace ferrowick {

// Written: version 2 (with times). Read: versions 1 and 2.
inline constexpr std::uint16_t kSnapshotVersion = 2;
inline constexpr std::uint16_t kOldestSnapshotVersion = 1;
inline constexpr std::size_t kDecodeMemoryFactor = 20;

// Decodes and validates. The image's names and contents point into `bytes`.
Expected<SnapshotImage, SnapshotError> decode_snapshot(std::span<const std::uint8_t> bytes);

// The exact encoded size of a well-formed image, or an error when the image
// holds something the format cannot store (a symbolic link).
Expected<std::size_t, SnapshotError> encoded_snapshot_size(const SnapshotImage& image);
// Writes the encoding into `out`, whose size is encoded_snapshot_size(image).
void encode_snapshot_into(const SnapshotImage& image, std::span<std::uint8_t> out);
// Both steps, into a new buffer.
Expected<std::vector<std::uint8_t>, SnapshotError> encode_snapshot(const SnapshotImage& image);

}  // namespace ferrowick
