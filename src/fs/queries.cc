// Path queries that never create anything: exists() and stat().
#include <variant>

#include "fs/file_system.h"

namespace ferrowick {

bool FileSystem::exists(std::string_view path) const { return get_inode_by_path_raw(path).has_value(); }

Expected<EntryStat, IoError> FileSystem::stat(std::string_view path) const {
  // Resolve the parent, then name the entry without following it, so that a
  // link shows up as a link.
  const PathSplit split = split_last_separator(path);
  auto parent = get_inode_by_path_raw(split.parent);
  if (!parent) return Unexpected(parent.error());
  auto id = find_inode_by_name(*parent, split.name);
  if (!id) return Unexpected(id.error());
  const INodeRef node = lookup(*id);
  if (!node) return Unexpected(IoError(IoError::Kind::InodeNotFound));
  EntryStat st{node->kind_tag, 0, node->id};
  auto guard = node->data.read();
  if (const auto* file = std::get_if<File>(&*guard)) {
    st.size = file->data.data.size();
  } else if (const auto* dir = std::get_if<Directory>(&*guard)) {
    st.size = dir->live;
  }
  return st;
}

}  // namespace ferrowick
