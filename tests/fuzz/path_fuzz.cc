// Path resolution and the namespace operations driven by fuzzed paths.
//
// Each input line is one operation on a fresh file system: its first byte
// picks the operation (m mkdir, t touch, r rm, R rm -r, ? resolve, w open and
// write, f name look-up, n rename), the rest of the line is the path (for n
// the source, then ">" and the destination). After every
// operation the tree must be sound (fs_invariants.h), and each operation's
// outcome must agree with what resolution says before and after it.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "fs_invariants.h"
#include "fuzz_support.h"

namespace {

using ferrowick::Expected;
using ferrowick::FileHandleType;
using ferrowick::FileSystem;
using ferrowick::InodeId;
using ferrowick::IoError;
using ferrowick::fuzzing::escaped;
using K = IoError::Kind;

std::string context;  // the operation under test, for failure reports

template <class T>
void expect_error_in(const Expected<T, IoError>& r, std::initializer_list<K> allowed) {
  if (r) return;
  for (K k : allowed)
    if (r.error().kind() == k) return;
  FUZZ_CHECK(false, context + " failed with " + r.error().name());
}

// A path that resolves must come back from its id, and the id's path must
// resolve to it again.
void check_round_trip(const FileSystem& fs, InodeId id) {
  auto path = fs.get_path_by_inode(id);
  FUZZ_CHECK(path, context + ": no path for " + std::to_string(id));
  auto again = fs.get_inode_by_path_raw(*path);
  FUZZ_CHECK(again && *again == id, context + ": path " + escaped(*path) + " does not lead back");
}

void create(FileSystem& fs, std::string_view path, bool directory) {
  const std::size_t before = fs.inode_count();
  auto made = directory ? fs.mkdir(path) : fs.touch(path);
  if (!made) {
    expect_error_in(made, {K::InodeNotFound, K::NotADirectory, K::ResourceAlreadyExists,
                           K::MaxRecursionDepthExceeded});
    FUZZ_CHECK(fs.inode_count() == before, context + ": a failed creation changed the table");
    return;
  }
  FUZZ_CHECK(fs.inode_count() == before + 1, context + ": creation did not add exactly one inode");
  auto id = fs.get_inode_by_path_raw(path);
  FUZZ_CHECK(id, context + ": the created path does not resolve");
  FUZZ_CHECK(*fs.is_directory_raw(*id) == directory, context + ": created the wrong kind");
  FUZZ_CHECK(fs.lookup(*id)->name == ferrowick::split_last_separator(path).name, context + ": wrong name");
  check_round_trip(fs, *id);
}

void remove(FileSystem& fs, std::string_view path, bool recursive) {
  auto target = fs.get_inode_by_path_raw(path);
  const std::size_t before = fs.inode_count();
  auto removed = fs.rm(path, recursive);
  if (!target) {
    FUZZ_CHECK(!removed && removed.error() == target.error(), context + ": rm disagrees with resolution");
    return;
  }
  if (!removed) {
    // Nothing is open and nothing runs concurrently: only a non-empty
    // directory without recursion can refuse.
    FUZZ_CHECK(!recursive && removed.error().kind() == K::DirectoryIsNotEmpty,
               context + " failed with " + removed.error().name());
    FUZZ_CHECK(fs.inode_count() == before, context + ": a refused removal changed the table");
    return;
  }
  if (*target == ferrowick::kRootId) {
    FUZZ_CHECK(fs.inode_count() == 1, context + ": removing the root left entries below it");
  } else {
    FUZZ_CHECK(!fs.lookup(*target), context + ": the removed inode is still in the table");
    FUZZ_CHECK(fs.inode_count() < before, context + ": nothing was removed");
  }
}

void resolve(const FileSystem& fs, std::string_view path) {
  auto id = fs.get_inode_by_path_raw(path);
  expect_error_in(id, {K::InodeNotFound, K::NotADirectory});
  if (!id) return;
  check_round_trip(fs, *id);
  auto listing = fs.ls_raw(*id);
  FUZZ_CHECK(listing.has_value() == *fs.is_directory_raw(*id), context + ": ls_raw disagrees with the kind");
}

void write_file(const std::shared_ptr<FileSystem>& fs, std::string_view path) {
  auto h = FileSystem::open(fs, path, FileHandleType::READ | FileHandleType::WRITE, true);
  expect_error_in(h, {K::InodeNotFound, K::NotADirectory, K::NotAFile, K::ResourceAlreadyExists,
                      K::MaxRecursionDepthExceeded});
  if (!h) return;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(path.data()), path.size());
  FUZZ_CHECK(h->write(bytes) && h->seek(ferrowick::SeekOrigin::Start, 0), context + ": write or seek failed");
  std::string back(path.size(), '\0');
  auto n = h->read({reinterpret_cast<std::uint8_t*>(back.data()), back.size()});
  FUZZ_CHECK(n && *n == path.size() && back == path, context + ": read back something else");
  FUZZ_CHECK(h->close(), context + ": close failed");
}

void rename(FileSystem& fs, std::string_view paths) {
  const std::size_t cut = paths.find('>');
  const std::string_view from = paths.substr(0, cut);
  const std::string_view to = cut == std::string_view::npos ? std::string_view() : paths.substr(cut + 1);
  auto moving = fs.stat(from);
  const std::string before = fs.render();
  auto moved = fs.rename(from, to);
  if (!moved) {
    expect_error_in(moved, {K::InodeNotFound, K::NotADirectory, K::NotAFile, K::ResourceAlreadyExists,
                            K::DirectoryIsNotEmpty, K::ResourceCurrentInUse, K::InvalidMove,
                            K::MaxRecursionDepthExceeded});
    FUZZ_CHECK(fs.render() == before, context + ": a refused rename changed the file system");
    return;
  }
  FUZZ_CHECK(moving, context + ": renamed an entry that stat does not find");
  auto landed = fs.stat(to);
  FUZZ_CHECK(landed && landed->ino == moving->ino, context + ": the destination is not the moved entry");
  check_round_trip(fs, moving->ino);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto fs = FileSystem::create();
  for (std::string_view line : ferrowick::fuzzing::split_records(data, size, '\n')) {
    if (line.empty()) continue;
    const std::string_view path = line.substr(1);
    context = std::string(1, line[0]) + " " + escaped(path);
    // Mnemonic operation letters keep the seeds readable; any other byte
    // still picks one.
    const std::size_t op = std::string_view("mtrR?wfn").find(line[0]);
    switch (op != std::string_view::npos ? op : static_cast<unsigned char>(line[0]) % 8) {
      case 0: create(*fs, path, true); break;
      case 1: create(*fs, path, false); break;
      case 2: remove(*fs, path, false); break;
      case 3: remove(*fs, path, true); break;
      case 4: resolve(*fs, path); break;
      case 5: write_file(fs, path); break;
      case 7: rename(*fs, path); break;
      default:  // the terminal's single-name look-up from every directory met so far
        for (InodeId id = 0; id < fs->next_inode_id(); ++id)
          expect_error_in(fs->find_inode_by_name(id, path), {K::InodeNotFound, K::NotADirectory});
        break;
    }
    const std::string broken = ferrowick::fscheck::check_fs_invariants(*fs, true);
    FUZZ_CHECK(broken.empty(), "after " + context + ": " + broken);
  }
  return 0;
}
