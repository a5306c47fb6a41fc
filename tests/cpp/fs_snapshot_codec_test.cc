// Snapshot codec: the documented encoding, and a table of hostile inputs
// that must each be refused with a message naming the fault.
#include <string>
#include <vector>

#include "fs/snapshot_codec.h"
#include "fs_test_util.h"

namespace ferrowick {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Snapshot bytes written by hand: header() then the fields in order.
struct Writer {
  Bytes b;
  Writer& raw(std::initializer_list<int> bytes) {
    for (int x : bytes) b.push_back(static_cast<std::uint8_t>(x));
    return *this;
  }
  Writer& v(std::uint64_t x) {
    do {
      b.push_back(static_cast<std::uint8_t>((x & 0x7F) | (x >= 0x80 ? 0x80 : 0)));
      x >>= 7;
    } while (x);
    return *this;
  }
  Writer& text(std::string_view s) {
    v(s.size());
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  // A non-root record: identifier delta, kind, name.
  Writer& rec(std::uint64_t delta, int kind, std::string_view name) { return v(delta).raw({kind}).text(name); }
  Writer& dir(std::initializer_list<std::uint64_t> children) {
    v(children.size());
    for (auto c : children) v(c);
    return *this;
  }
};

// Most rows are of version 1, which a reader keeps reading.
Writer header(std::uint64_t next, std::uint64_t records, int version = 1) {
  Writer w;
  w.raw({'F', 'W', 'S', 'N', version, 0, 0, 0}).v(next).v(records);
  return w;
}

// The examples of docs/snapshot-format.md: a version 1 snapshot and the
// version 2 one of the same tree with times.
const Bytes kDocExampleV1 = {0x46, 0x57, 0x53, 0x4E, 0x01, 0x00, 0x00, 0x00, 0x03, 0x03, 0x01, 0x01, 0x01,
                             0x01, 0x01, 0x01, 0x61, 0x01, 0x02, 0x01, 0x00, 0x01, 0x66, 0x02, 0x68, 0x69};
const Bytes kDocExample = {0x46, 0x57, 0x53, 0x4E, 0x02, 0x00, 0x00, 0x00, 0x03, 0x03, 0x01, 0x0A,
                           0x0A, 0x01, 0x01, 0x01, 0x01, 0x01, 0x61, 0x0B, 0x0A, 0x01, 0x02, 0x01,
                           0x00, 0x01, 0x66, 0x0C, 0x0B, 0x02, 0x68, 0x69};

TEST(SnapshotCodec, DocumentedExamplesDecodeAndEncodeBack) {
  auto image = decode_snapshot(kDocExample);
  ASSERT_TRUE(image) << image.error().message;
  ASSERT_EQ(image->records.size(), 3u);
  EXPECT_EQ(image->next_inode_id, 3u);
  const ImageRecord& f = image->records[2];
  EXPECT_EQ(f.id, 2u);
  EXPECT_EQ(f.parent, 1u);
  EXPECT_EQ(f.depth, 2);
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.mtime_ns, 12);
  EXPECT_EQ(f.birthtime_ns, 11);
  EXPECT_EQ(image->records[0].mtime_ns, 10);
  EXPECT_EQ(std::string(f.data.begin(), f.data.end()), "hi");
  EXPECT_EQ(image->records[1].kind, KindTag::Directory);
  auto again = encode_snapshot(*image);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, kDocExample);

  // Version 1 has no times: they read as 0, and it is written as version 2.
  auto old = decode_snapshot(kDocExampleV1);
  ASSERT_TRUE(old) << old.error().message;
  for (const ImageRecord& r : old->records) EXPECT_EQ(r.mtime_ns + r.birthtime_ns, 0) << r.id;
  EXPECT_EQ(std::string(old->records[2].data.begin(), old->records[2].data.end()), "hi");
  Bytes upgraded = kDocExample;
  for (std::size_t at : {11u, 12u, 19u, 20u, 27u, 28u}) upgraded[at] = 0;
  EXPECT_EQ(*encode_snapshot(*old), upgraded);
}

TEST(SnapshotCodec, SymbolicLinksCannotBeEncoded) {
  SnapshotImage image;
  image.records.push_back(ImageRecord{});
  image.records[0].child_count = 1;
  image.children = {1};
  ImageRecord link;
  link.id = 1;
  link.name = "l";
  link.kind = KindTag::Symlink;
  image.records.push_back(link);
  image.next_inode_id = 2;
  auto encoded = encode_snapshot(image);
  ASSERT_FALSE(encoded);
  EXPECT_NE(encoded.error().message.find("symbolic links"), std::string::npos);
}

Bytes chain(int depth) {  // directories 1..depth, each inside the previous
  Writer w = header(depth + 1, depth + 1);
  w.raw({1}).dir({1});
  for (int i = 1; i <= depth; ++i) {
    w.rec(1, 1, "d");
    if (i < depth) w.dir({static_cast<std::uint64_t>(i + 1)});
    else w.dir({});
  }
  return w.b;
}

struct Hostile {
  const char* what;
  Bytes bytes;
  const char* message;  // a part of the expected message
};

std::vector<Hostile> hostile_inputs() {
  auto one_child = [](std::string_view name) {
    Writer w = header(2, 2);
    w.raw({1}).dir({1}).rec(1, 0, name).v(0);
    return w.b;
  };
  Bytes long_varint = header(2, 1).b;
  long_varint.resize(8);  // header only
  for (int i = 0; i < 9; ++i) long_varint.push_back(0xFF);
  long_varint.push_back(0x02);
  Bytes huge_file = header(2, 2).raw({1}).dir({1}).rec(1, 0, "f").v(1000).raw({1, 2, 3}).b;
  return {
      {"empty input", {}, "not a ferrowick snapshot"},
      {"wrong magic", Writer().raw({'F', 'W', 'S', 'X', 1, 0, 0, 0, 1, 1, 1, 0}).b, "not a ferrowick snapshot"},
      {"short header", Writer().raw({'F', 'W', 'S', 'N', 1}).b, "not a ferrowick snapshot"},
      {"future version", Writer().raw({'F', 'W', 'S', 'N', 3, 0, 0, 0, 1, 1, 1, 0}).b, "version 3 is not supported"},
      {"version 0", Writer().raw({'F', 'W', 'S', 'N', 0, 0, 0, 0, 1, 1, 1, 0}).b, "version 0 is not supported"},
      {"v2 root without times", header(1, 1, 2).raw({1, 0}).b, "claims 1 records but 2 bytes cannot hold them"},
      {"v2 time cut off", header(1, 1, 2).raw({1, 5, 0x85, 0x80}).b, "truncated inside a birth time"},
      {"v2 overlong time", header(1, 1, 2).raw({1, 0x81, 0x00, 1, 0}).b, "modification time is not minimally encoded"},
      {"v2 record count beyond the input", header(1, 3, 2).raw({1, 1, 1, 0}).v(1).raw({0}).text("ab").b,
       "claims 3 records"},
      {"unknown flags", Writer().raw({'F', 'W', 'S', 'N', 1, 0, 1, 0, 1, 1, 1, 0}).b, "unknown flags 1"},
      {"next id 0", header(0, 1).raw({1, 0}).b, "next_inode_id is 0"},
      {"no records", header(1, 0).b, "no records"},
      {"record count beyond the input", header(1, 1000000).raw({1, 0}).b, "claims 1000000 records"},
      {"cut-off varint", header(1, 1).raw({1, 0x80}).b, "truncated inside a child count"},
      {"overlong varint", header(1, 1).raw({1, 0x80, 0x00}).b, "not minimally encoded"},
      {"varint above 64 bits", long_varint, "does not fit in 64 bits"},
      {"root is a file", header(1, 1).raw({0, 0}).b, "root (identifier 0) is not a directory"},
      {"unknown kind", header(2, 2).raw({1}).dir({1}).rec(1, 7, "x").b, "identifier 1 has an unknown kind 7"},
      {"symlink kind", header(2, 2).raw({1}).dir({1}).rec(1, 2, "x").b, "unknown kind 2"},
      {"identifier repeated", header(3, 3).raw({1}).dir({1}).rec(1, 0, "a").v(0).rec(0, 0, "b").v(0).b,
       "identifier 1 is repeated"},
      {"identifier at next_inode_id", header(2, 2).raw({1}).dir({2}).rec(2, 0, "a").v(0).b,
       "not below next_inode_id 2"},
      {"empty name", one_child(""), "identifier 1 has an empty name"},
      {"name .", one_child("."), "identifier 1 is named \".\""},
      {"name ..", one_child(".."), "identifier 1 is named \"..\""},
      {"slash in name", one_child("a/b"), "holding a separator"},
      {"backslash in name", one_child("a\\b"), "holding a separator"},
      {"invalid UTF-8 name", one_child("\xFF"), "not valid UTF-8"},
      {"surrogate in name", one_child("\xED\xA0\x80"), "not valid UTF-8"},
      {"name beyond the input", header(2, 2).raw({1}).dir({1}).v(1).raw({0}).v(50).raw({'a'}).b,
       "the name of identifier 1 needs 50 bytes but 1 remain"},
      {"content beyond the input", huge_file, "the content of identifier 1 needs 1000 bytes but 3 remain"},
      {"children beyond the input", header(1, 1).raw({1}).v(300).raw({1, 2}).b, "claims 300 children, more than the rest"},
      {"child without record", header(2, 2).raw({1}).dir({1, 5}).rec(1, 0, "a").v(0).b,
       "directory 0 lists identifier 5, which has no record"},
      {"root listed as a child", header(2, 2).raw({1}).dir({1}).rec(1, 1, "d").dir({0}).b, "lists the root"},
      {"child listed twice", header(2, 2).raw({1}).dir({1, 1}).rec(1, 0, "a").v(0).b,
       "identifier 1 is listed twice (by directories 0 and 0)"},
      {"child in two directories", header(3, 3).raw({1}).dir({1, 2}).rec(1, 1, "d").dir({2}).rec(1, 0, "f").v(0).b,
       "identifier 2 is listed twice"},
      {"record listed nowhere", header(3, 3).raw({1}).dir({1}).rec(1, 0, "a").v(0).rec(1, 0, "b").v(0).b,
       "identifier 2 is listed by no directory"},
      {"cycle of two directories", header(3, 3).raw({1}).dir({}).rec(1, 1, "a").dir({2}).rec(1, 1, "b").dir({1}).b,
       "identifier 1 is not reachable from the root"},
      {"directory listing itself", header(2, 2).raw({1}).dir({}).rec(1, 1, "a").dir({1}).b, "not reachable"},
      {"deeper than 64", chain(65), "identifier 65 lies deeper than 64 levels"},
      {"duplicate names", header(3, 3).raw({1}).dir({1, 2}).rec(1, 0, "a").v(0).rec(1, 1, "a").dir({}).b,
       "directory 0 holds two entries named \"a\""},
      {"trailing bytes", header(1, 1).raw({1, 0, 0xAA}).b, "1 bytes follow the last record"},
  };
}

TEST(SnapshotCodec, HostileInputsAreRefusedWithTheirFault) {
  for (const Hostile& h : hostile_inputs()) {
    auto image = decode_snapshot(h.bytes);
    if (image) {
      ADD_FAILURE() << h.what << ": accepted";
      continue;
    }
    const std::string& msg = image.error().message;
    EXPECT_EQ(msg.rfind("invalid snapshot: ", 0), 0u) << h.what << ": " << msg;
    EXPECT_NE(msg.find(h.message), std::string::npos) << h.what << ": " << msg;
  }
  // The deepest allowed chain is accepted: the table above fails for its fault.
  auto deepest = decode_snapshot(chain(64));
  EXPECT_TRUE(deepest) << deepest.error().message;
}

TEST(SnapshotCodec, EveryTruncationOfASnapshotIsRefused) {
  for (const Bytes* whole : {&kDocExample, &kDocExampleV1}) {
    for (std::size_t n = 0; n < whole->size(); ++n) {
      auto image = decode_snapshot(std::span<const std::uint8_t>(whole->data(), n));
      EXPECT_FALSE(image) << "accepted the first " << n << " bytes of version " << int((*whole)[4]);
    }
  }
}

}  // namespace
}  // namespace ferrowick
