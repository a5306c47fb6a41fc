#include <cstdint>
#include <vector>

#include "fs/inode.h"
#include "fs/inode_table.h"

namespace ferrowick {

InodeId Directory::find(std::string_view name, const InodeTable& table) const {
  if (index) {
    auto it = index->find(name);
    return it == index->end() ? kRootId : slots[it->second];
  }
  // Small directory: at most kInlineChildren records to compare.
  for (InodeId id : slots) {
    if (id == kRootId) continue;
    INodeRef child = table.get(id);
    if (child && child->name == name) return id;
  }
  return kRootId;
}

void Directory::append(InodeId child, std::string_view name, const InodeTable& table) {
  FERROWICK_ASSERT(slots.size() < UINT32_MAX);
  const auto slot = static_cast<std::uint32_t>(slots.size());
  slots.push_back(child);
  ++live;
  if (index) {
    index->emplace(std::string(name), slot);
  } else if (slots.size() > kInlineChildren) {
    build_index(table);
  }
}

void Directory::build_index(const InodeTable& table) {
  auto idx = std::make_unique<NameIndex>();
  idx->reserve(slots.size() * 2);
  for (std::uint32_t slot = 0; slot < slots.size(); ++slot) {
    InodeId id = slots[slot];
    if (id == kRootId) continue;
    // The newest child is already in the table: creation inserts the record
    // before listing it.
    if (INodeRef child = table.get(id)) idx->emplace(child->name, slot);
  }
  index = std::move(idx);
}

bool Directory::remove(InodeId child, std::string_view name) {
  std::size_t slot = slots.size();
  if (index) {
    auto it = index->find(name);
    if (it != index->end() && slots[it->second] == child) {
      slot = it->second;
      index->erase(it);
    }
  }
  if (slot == slots.size()) {
    // Not found by name: scan (small directories, or an entry whose name does
    // not match its record, which a sound tree never has).
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i] == child) {
        slot = i;
        break;
      }
    }
    if (slot == slots.size()) return false;
    if (index) {
      for (auto it = index->begin(); it != index->end(); ++it) {
        if (it->second == slot) {
          index->erase(it);
          break;
        }
      }
    }
  }
  slots[slot] = kRootId;
  --live;
  while (!slots.empty() && slots[slots.size() - 1] == kRootId) slots.pop_back();
  if (slots.size() - live > live) compact();
  return true;
}

void Directory::compact() {
  // new_slot[old] = number of live slots before `old`.
  std::vector<std::uint32_t> new_slot;
  if (index) new_slot.resize(slots.size());
  std::size_t out = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (index) new_slot[i] = static_cast<std::uint32_t>(out);
    if (slots[i] != kRootId) slots[out++] = slots[i];
  }
  slots.resize(out);
  if (index) {
    for (auto& entry : *index) entry.second = new_slot[entry.second];
  }
}

}  // namespace ferrowick
