// Path queries that never create anything: exists() and stat().
#include <variant>

#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

bool FileSystem::exists(std::string_view path) const { return get_inode_by_path_raw(path).has_value(); }

Expected<INode*, IoError> FileSystem::entry_locked(std::string_view path) const {
  // Walk to the parent, then name the entry without following it, so that a
  // link shows up as a link.
  const PathSplit split = split_last_separator(path);
  auto parent = walk_locked(split.parent);
  if (!parent) return parent;
  auto id = find_locked(**parent, split.name);
  if (!id) return Unexpected(id.error());
  INode* node = table_.find(*id);
  if (!node) return io_failure(IoError::Kind::InodeNotFound);
  return node;
}

Expected<EntryStat, IoError> FileSystem::stat(std::string_view path) const {
  SharedNs ns(*this);
  auto found = entry_locked(path);
  if (!found) return Unexpected(found.error());
  const INode* node = *found;
  EntryStat st{node->kind_tag, 0, node->id, 0, node->birthtime_ns};
  if (node->kind_tag == KindTag::File) {
    // A file's size and modification time change under its own lock.
    auto guard = node->data.read();
    st.size = std::get<File>(*guard).data.data.size();
    st.mtime_ns = node->mtime_ns;
  } else {
    if (node->kind_tag == KindTag::Directory) st.size = node->directory().size();
    st.mtime_ns = node->mtime_ns;
  }
  return st;
}

}  // namespace ferrowick
