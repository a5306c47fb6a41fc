// Decoding a snapshot: first the byte layout (every size field checked
// against what remains), then the tree (listings, reachability, depth,
// names), all before the caller builds anything.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "common/utf8.h"
#include "error/io_error.h"
#include "fs/file_system.h"
#include "fs/snapshot_codec.h"
#include "fs/snapshot_wire.h"

namespace ferrowick {

namespace w = snapshot_wire;

namespace {

constexpr InodeId kUnlisted = std::numeric_limits<InodeId>::max();  // never an identifier
constexpr std::uint8_t kUnreached = 0xFF;
constexpr std::size_t kNoRecord = std::numeric_limits<std::size_t>::max();

// A name as shown in a message: quoted, and cut short when long.
std::string shown(std::string_view name) {
  std::string out;
  append_quoted(out, name.substr(0, 40));
  if (name.size() > 40) out += "...";
  return out;
}

std::string id_text(InodeId id) { return std::to_string(id); }

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> in) : in_(in) {}

  Expected<SnapshotImage, SnapshotError> run() {
    if (!header() || !body() || !structure()) return Unexpected(SnapshotError{"invalid snapshot: " + error_});
    return std::move(image_);
  }

 private:
  // --- The byte layout ---------------------------------------------------
  bool fail(std::string what) {
    error_ = std::move(what);
    return false;
  }
  bool fail_at(std::string what) { return fail(what + " (at byte " + std::to_string(pos_) + ")"); }
  std::size_t remaining() const { return in_.size() - pos_; }

  bool need(std::size_t n, const std::string& what) {
    if (n <= remaining()) return true;
    return fail_at("truncated: " + what + " needs " + std::to_string(n) + " bytes but " +
                   std::to_string(remaining()) + " remain");
  }

  // Unsigned LEB128, minimal length, at most 64 bits.
  bool varint(std::uint64_t& v, const char* what) {
    v = 0;
    for (std::size_t i = 0;; ++i) {
      if (pos_ >= in_.size()) return fail_at(std::string("truncated inside ") + what);
      const std::uint8_t b = in_[pos_++];
      if (i == w::kMaxVarintBytes - 1 && b > 1) return fail_at(std::string(what) + " does not fit in 64 bits");
      v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) {
        if (b == 0 && i > 0) return fail_at(std::string(what) + " is not minimally encoded");
        return true;
      }
    }
  }

  bool header() {
    if (in_.size() < w::kHeaderSize || std::memcmp(in_.data(), w::kMagic, sizeof w::kMagic) != 0)
      return fail("not a ferrowick snapshot (it does not start with \"FWSN\")");
    const unsigned version = in_[4] | (in_[5] << 8);
    const unsigned flags = in_[6] | (in_[7] << 8);
    if (version < kOldestSnapshotVersion || version > kSnapshotVersion)
      return fail("version " + std::to_string(version) + " is not supported (this build reads versions " +
                  std::to_string(kOldestSnapshotVersion) + " to " + std::to_string(kSnapshotVersion) + ")");
    // Version 1 has no times: every record then carries 0.
    timed_ = version >= 2;
    min_root_ = w::kMinRootRecord + (timed_ ? w::kTimesBytes : 0);
    min_record_ = w::kMinRecord + (timed_ ? w::kTimesBytes : 0);
    if (flags != 0) return fail("unknown flags " + std::to_string(flags) + " in the header");
    pos_ = w::kHeaderSize;
    return true;
  }

  bool body() {
    std::uint64_t count = 0;
    if (!varint(image_.next_inode_id, "next_inode_id") || !varint(count, "the record count")) return false;
    if (image_.next_inode_id == 0) return fail("next_inode_id is 0, but the root already holds identifier 0");
    if (count == 0) return fail("the snapshot holds no records (the root is missing)");
    // Bound the claim by what the input can hold before allocating for it.
    const std::size_t rest = remaining();
    if (rest < min_root_ || count - 1 > (rest - min_root_) / min_record_)
      return fail("it claims " + std::to_string(count) + " records but " + std::to_string(rest) +
                  " bytes cannot hold them");
    image_.records.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i)
      if (!record(count - 1 - i)) return false;
    if (remaining() != 0) return fail_at(std::to_string(remaining()) + " bytes follow the last record");
    return true;
  }

  // One record; `later` records are still to come, each at least min_record_
  // bytes, so a listing may claim no more than the bytes they leave.
  bool record(std::uint64_t later) {
    ImageRecord r;
    const bool root = image_.records.empty();
    if (!root) {
      std::uint64_t delta = 0;
      if (!varint(delta, "an identifier")) return false;
      const InodeId previous = image_.records.back().id;
      if (delta == 0) return fail_at("identifier " + id_text(previous) + " is repeated");
      if (delta >= image_.next_inode_id - previous)
        return fail_at("an identifier after " + id_text(previous) + " is not below next_inode_id " +
                       std::to_string(image_.next_inode_id));
      r.id = previous + delta;
    }
    r.parent = root ? kRootId : kUnlisted;
    r.depth = root ? 0 : kUnreached;
    const std::string who = "identifier " + id_text(r.id);
    if (!need(1, "the kind of " + who)) return false;
    const std::uint8_t kind = in_[pos_++];
    if (kind == w::kKindFile) {
      r.kind = KindTag::File;
    } else if (kind == w::kKindDirectory) {
      r.kind = KindTag::Directory;
    } else {
      --pos_;
      return fail_at(who + " has an unknown kind " + std::to_string(kind));
    }
    if (root && r.kind != KindTag::Directory) return fail("the root (identifier 0) is not a directory");
    if (!root && !name(r, who)) return false;
    if (timed_) {
      std::uint64_t mtime = 0, birthtime = 0;
      if (!varint(mtime, "a modification time") || !varint(birthtime, "a birth time")) return false;
      r.mtime_ns = static_cast<std::int64_t>(mtime);
      r.birthtime_ns = static_cast<std::int64_t>(birthtime);
    }

    std::uint64_t n = 0;
    if (r.kind == KindTag::File) {
      if (!varint(n, "a file length") || !need(n, "the content of " + who)) return false;
      r.data = in_.subspan(pos_, n);
      pos_ += n;
    } else {
      if (!varint(n, "a child count")) return false;
      // Each child takes a byte at least, and the later records need theirs.
      const std::uint64_t spare = later > remaining() / min_record_ ? 0 : remaining() - later * min_record_;
      if (n > spare || image_.children.size() + n > std::numeric_limits<std::uint32_t>::max())
        return fail_at(who + " claims " + std::to_string(n) + " children, more than the rest of the input holds");
      r.first_child = static_cast<std::uint32_t>(image_.children.size());
      r.child_count = static_cast<std::uint32_t>(n);
      for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t child = 0;
        if (!varint(child, "a child identifier")) return false;
        image_.children.push_back(child);
      }
    }
    image_.records.push_back(r);
    return true;
  }

  bool name(ImageRecord& r, const std::string& who) {
    std::uint64_t len = 0;
    if (!varint(len, "a name length") || !need(len, "the name of " + who)) return false;
    const std::string_view text(reinterpret_cast<const char*>(in_.data() + pos_), len);
    if (text.empty()) return fail_at(who + " has an empty name");
    if (text == "." || text == "..") return fail_at(who + " is named " + shown(text));
    if (holds_separator(text))
      return fail_at(who + " has a name holding a separator: " + shown(text));
    if (!is_valid_utf8(text)) return fail_at(who + " has a name that is not valid UTF-8");
    r.name = text;
    pos_ += len;
    return true;
  }

  // --- The tree ----------------------------------------------------------
  std::size_t find(InodeId id) const {
    auto it = std::lower_bound(image_.records.begin(), image_.records.end(), id,
                               [](const ImageRecord& r, InodeId v) { return r.id < v; });
    return it != image_.records.end() && it->id == id ? static_cast<std::size_t>(it - image_.records.begin())
                                                       : kNoRecord;
  }

  bool structure() {
    auto& records = image_.records;
    // Every child names a record other than the root, listed nowhere else.
    for (const ImageRecord& dir : records) {
      if (dir.kind != KindTag::Directory) continue;
      for (InodeId child : image_.children_of(dir)) {
        const std::size_t at = find(child);
        if (at == kNoRecord)
          return fail("directory " + id_text(dir.id) + " lists identifier " + id_text(child) + ", which has no record");
        if (at == 0) return fail("directory " + id_text(dir.id) + " lists the root as a child");
        ImageRecord& c = records[at];
        if (c.parent != kUnlisted)
          return fail("identifier " + id_text(child) + " is listed twice (by directories " + id_text(c.parent) +
                      " and " + id_text(dir.id) + ")");
        c.parent = dir.id;
      }
    }
    for (const ImageRecord& r : records)
      if (r.parent == kUnlisted) return fail("identifier " + id_text(r.id) + " is listed by no directory");

    // Breadth first from the root: depths, and names unique per directory.
    // A record listed once but never reached hangs in a cycle of listings.
    std::vector<std::uint32_t> queue;
    queue.reserve(records.size());
    queue.push_back(0);
    std::vector<std::uint32_t> listed;  // one directory's children, to sort by name
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const ImageRecord& dir = records[queue[head]];
      if (dir.kind != KindTag::Directory) continue;
      listed.clear();
      for (InodeId child : image_.children_of(dir)) {
        const std::size_t at = find(child);
        ImageRecord& c = records[at];
        c.depth = static_cast<std::uint8_t>(dir.depth + 1);
        if (c.depth > kMaxDepth)
          return fail("identifier " + id_text(c.id) + " lies deeper than " + std::to_string(kMaxDepth) + " levels");
        listed.push_back(static_cast<std::uint32_t>(at));
        queue.push_back(static_cast<std::uint32_t>(at));
      }
      auto name_of = [&](std::uint32_t i) { return records[i].name; };
      std::sort(listed.begin(), listed.end(), [&](auto a, auto b) { return name_of(a) < name_of(b); });
      auto dup = std::adjacent_find(listed.begin(), listed.end(), [&](auto a, auto b) { return name_of(a) == name_of(b); });
      if (dup != listed.end())
        return fail("directory " + id_text(dir.id) + " holds two entries named " + shown(name_of(*dup)));
    }
    if (queue.size() != records.size()) {
      for (const ImageRecord& r : records)
        if (r.depth == kUnreached)
          return fail("identifier " + id_text(r.id) + " is not reachable from the root (its listings form a cycle)");
    }
    return true;
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  bool timed_ = true;
  std::size_t min_root_ = w::kMinRootRecord;
  std::size_t min_record_ = w::kMinRecord;
  std::string error_;
  SnapshotImage image_;
};

}  // namespace

Expected<SnapshotImage, SnapshotError> decode_snapshot(std::span<const std::uint8_t> bytes) {
  return Decoder(bytes).run();
}

}  // namespace ferrowick
