// Wire-level pieces of the snapshot format shared by its encoder and
// decoder: the header, the kind codes, the minimal record sizes and the
// unsigned LEB128 varint.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ferrowick::snapshot_wire {

// "FWSN", then the version (u16 LE) and the flags (u16 LE, none defined).
inline constexpr std::uint8_t kMagic[4] = {'F', 'W', 'S', 'N'};
inline constexpr std::size_t kHeaderSize = 8;

inline constexpr std::uint8_t kKindFile = 0;
inline constexpr std::uint8_t kKindDirectory = 1;

// The fewest bytes a record can take in version 1: the root (kind, child
// count) and any other record (id delta, kind, name length, content length
// or child count). The decoder holds a record count to these before it sets memory
// aside for the records.
inline constexpr std::size_t kMinRootRecord = 2;
inline constexpr std::size_t kMinRecord = 4;
// From version 2 on every record carries its two times, a byte each at least.
inline constexpr std::size_t kTimesBytes = 2;

inline constexpr std::size_t kMaxVarintBytes = 10;

inline std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Writes v at p; returns the byte after it.
inline std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
}

}  // namespace ferrowick::snapshot_wire
