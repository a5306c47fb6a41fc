#include "fs/inode_table.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace ferrowick {

INodeRef InodeTable::get(InodeId id) const {
  Shard& s = shard(id);
  std::shared_lock lk(s.mu);
  auto it = s.map.find(id);
  return it == s.map.end() ? nullptr : it->second;
}

INodeRef InodeTable::insert(INodeRef node) {
  const InodeId id = node->id;
  Shard& s = shard(id);
  std::unique_lock lk(s.mu);
  auto [it, inserted] = s.map.try_emplace(id, node);
  if (inserted) return nullptr;
  // The caller destroys the replaced record, outside the shard lock.
  std::swap(it->second, node);
  return node;
}

INodeRef InodeTable::erase(InodeId id) {
  Shard& s = shard(id);
  std::unique_lock lk(s.mu);
  auto it = s.map.find(id);
  if (it == s.map.end()) return nullptr;
  INodeRef removed = std::move(it->second);
  s.map.erase(it);
  return removed;
}

std::size_t InodeTable::size() const {
  std::size_t n = 0;
  for (Shard& s : shards_) {
    std::shared_lock lk(s.mu);
    n += s.map.size();
  }
  return n;
}

void InodeTable::for_each_sorted(const std::function<void(const INode&)>& f) const {
  std::vector<INodeRef> all;
  for (Shard& s : shards_) {
    std::shared_lock lk(s.mu);
    for (const auto& entry : s.map) all.push_back(entry.second);
  }
  std::sort(all.begin(), all.end(), [](const INodeRef& a, const INodeRef& b) { return a->id < b->id; });
  for (const INodeRef& node : all) f(*node);
}

}  // namespace ferrowick
