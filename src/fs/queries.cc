// Path queries that never create anything: exists() and stat().
#include <variant>

#include "fs/file_system.h"
#include "fs/namespace_lock.h"

namespace ferrowick {

bool FileSystem::exists(std::string_view path) const { return get_inode_by_path_raw(path).has_value(); }

Expected<EntryStat, IoError> FileSystem::stat(std::string_view path) const {
  // Walk to the parent, then name the entry without following it, so that a
  // link shows up as a link; all in one hold of the namespace lock.
  const PathSplit split = split_last_separator(path);
  SharedNs ns(*this);
  auto parent = walk_locked(split.parent);
  if (!parent) return Unexpected(parent.error());
  auto id = find_locked(**parent, split.name);
  if (!id) return Unexpected(id.error());
  const INode* node = table_.find(*id);
  if (!node) return io_failure(IoError::Kind::InodeNotFound);
  EntryStat st{node->kind_tag, 0, node->id};
  if (node->kind_tag == KindTag::Directory) {
    st.size = node->directory().size();
  } else if (node->kind_tag == KindTag::File) {
    auto guard = node->data.read();
    st.size = std::get<File>(*guard).data.data.size();
  }
  return st;
}

}  // namespace ferrowick
