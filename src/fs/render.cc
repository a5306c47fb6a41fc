// One-line diagnostic renderings of the file-system records:
// a record is "Type { field: value, ... }", a list "[a, b]", the table
// "{key: value, ...}", texts are quoted literals.
#include <charconv>
#include <string>
#include <type_traits>

#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

namespace {

template <class Int>
void append_number(std::string& out, Int value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

template <class Range>
void append_list(std::string& out, const Range& items) {
  out += '[';
  bool first = true;
  for (auto item : items) {
    if (!first) out += ", ";
    first = false;
    append_number(out, item);
  }
  out += ']';
}

void append_kind(std::string& out, const INodeKind& kind) {
  if (const auto* file = std::get_if<File>(&kind)) {
    out += "File { data: FileData { data: ";
    append_list(out, file->data.data);
    out += " }, lock: FileLock { flag: ";
    append_number(out, file->lock.flag.load());
    out += " } }";
  } else if (const auto* dir = std::get_if<Directory>(&kind)) {
    // Only live children, in order; tombstones and the index are internal.
    out += "Directory { children: [";
    bool first = true;
    dir->for_each_child([&](const INode* child) {
      if (!first) out += ", ";
      first = false;
      append_number(out, child->id);
    });
    out += "] }";
  } else {
    out += "Symlink { target: ";
    append_number(out, std::get<Symlink>(kind).target);
    out += " }";
  }
}

void append_inode(std::string& out, const INode& node, std::size_t depth) {
  out += "INode { id: ";
  append_number(out, node.id);
  out += ", parent: ";
  append_number(out, node.parent);
  out += ", depth: ";
  append_number(out, depth);
  out += ", name: ";
  append_quoted(out, node.name);
  out += ", data: RwLock { data: ";
  // Never blocks: a record being written right now shows as <locked>.
  if (!node.data.try_read([&](const INodeKind& kind) { append_kind(out, kind); })) out += "<locked>";
  out += ", poisoned: ";
  out += node.data.is_poisoned() ? "true" : "false";
  out += ", .. } }";
}

}  // namespace

std::string FileSystem::render() const {
  std::string out = "FileSystem { inodes: {";
  bool first = true;
  // Children lists are read under the namespace lock; a file being written
  // right now shows as <locked>.
  SharedNs ns(*this);
  table_.for_each([&](const INode& node) {
    assert_ns_held();
    if (!first) out += ", ";
    first = false;
    append_number(out, node.id);
    out += ": ";
    // Renames move whole subtrees, so a depth is counted, not stored.
    auto depth = depth_locked(node);
    append_inode(out, node, depth ? *depth : 0);
  });
  out += "}, next_inode_id: ";
  append_number(out, next_inode_id_.load());
  out += " }";
  return out;
}

std::string render_file_handle_type(FileHandleType type) {
  const bool read = has_flag(type, FileHandleType::READ);
  const bool write = has_flag(type, FileHandleType::WRITE);
  if (!read && !write) return "FileHandleType(0x0)";
  std::string out = "FileHandleType(";
  if (read) out += "READ";
  if (read && write) out += " | ";
  if (write) out += "WRITE";
  out += ')';
  return out;
}

std::string FileHandle::render() const {
  std::string out = "FileHandle { id: ";
  if (id_) {
    out += "Some(";
    append_number(out, *id_);
    out += ')';
  } else {
    out += "None";
  }
  out += ", type: ";
  out += render_file_handle_type(type_);
  out += ", fs: ";
  out += fs_ ? fs_->render() : std::string("None");  // only a moved-from handle lacks one
  out += ", offset: ";
  append_number(out, offset_);
  out += " }";
  return out;
}

}  // namespace ferrowick
