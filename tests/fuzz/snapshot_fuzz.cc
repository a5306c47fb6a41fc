// Snapshot decoding driven by fuzzed bytes.
//
// Every input is either refused with an "invalid snapshot: " message or
// accepted; then the decoder's working memory is within its bound, the file
// system built from it is sound (fs_invariants.h), saving that file system
// gives back exactly the input (the encoding is canonical; an input of the
// older version 1 comes back as version 2, which loads to the same tree),
// and a clone of it renders and saves the same.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "fs/snapshot_codec.h"
#include "fs_invariants.h"
#include "fuzz_support.h"

namespace {

using ferrowick::FileSystem;

std::vector<std::uint8_t> saved(const FileSystem& fs) {
  auto bytes = ferrowick::encode_snapshot(fs.snapshot_image());
  FUZZ_CHECK(bytes, "a restored file system cannot be saved: " + bytes.error().message);
  return *bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  auto image = ferrowick::decode_snapshot(input);
  if (!image) {
    FUZZ_CHECK(image.error().message.rfind("invalid snapshot: ", 0) == 0, image.error().message);
    return 0;
  }
  FUZZ_CHECK(image->footprint() <= ferrowick::kDecodeMemoryFactor * size + 4096,
             "the decoder used " + std::to_string(image->footprint()) + " bytes for " + std::to_string(size));

  auto fs = FileSystem::restore(*image);
  const std::string broken = ferrowick::fscheck::check_fs_invariants(*fs, /*expect_unlocked=*/true);
  FUZZ_CHECK(broken.empty(), "restored file system: " + broken);
  FUZZ_CHECK(fs->next_inode_id() == image->next_inode_id, "next_inode_id changed");
  const std::vector<std::uint8_t> out = saved(*fs);
  if (input[4] == 1) {
    auto again = ferrowick::decode_snapshot(out);
    FUZZ_CHECK(again, "a version 1 snapshot saved as version 2 is refused: " + again.error().message);
    auto upgraded = FileSystem::restore(*again);
    FUZZ_CHECK(upgraded->render() == fs->render() && saved(*upgraded) == out,
               "a version 1 snapshot saved as version 2 loads to another tree");
  } else {
    FUZZ_CHECK(out == std::vector<std::uint8_t>(input.begin(), input.end()),
               "saving the restored file system does not give back the input");
  }

  auto copy = fs->clone();
  FUZZ_CHECK(copy->render() == fs->render(), "a clone renders differently");
  FUZZ_CHECK(saved(*copy) == saved(*fs), "a clone saves differently");
  return 0;
}
