// InodeTable: a concurrent hash table from InodeId to INode record.
//
// Sharded: each shard is an unordered_map behind a shared_mutex that is held
// only for the duration of one find, insert or erase. A guard is the
// shared_ptr to the record, so holding guards on some entries never blocks
// inserting or erasing others (no self-deadlock), and readers of different
// inodes never block each other.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "fs/inode.h"

namespace ferrowick {

class InodeTable {
 public:
  INodeRef get(InodeId id) const;
  // Inserts or replaces; returns the record it replaced, if any.
  INodeRef insert(INodeRef node);
  // Removes; returns the removed record, if any.
  INodeRef erase(InodeId id);
  std::size_t size() const;
  // Visits every record in id order (for rendering).
  void for_each_sorted(const std::function<void(const INode&)>& f) const;

 private:
  static constexpr std::size_t kShards = 16;
  struct Shard {
    mutable std::shared_mutex mu;
    std::unordered_map<InodeId, INodeRef> map;
  };
  Shard& shard(InodeId id) const { return shards_[id % kShards]; }
  mutable std::array<Shard, kShards> shards_;
};

}  // namespace ferrowick
