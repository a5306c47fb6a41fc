// Helpers shared by the fs_* tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fs/file_handle.h"
#include "fs/file_system.h"

namespace ferrowick {

// Lets gtest print errors by name.
inline void PrintTo(const IoError& e, std::ostream* os) { *os << e.name(); }

using K = IoError::Kind;

// The error of a result that must have failed.
template <class T>
IoError error_of(const Expected<T, IoError>& r) {
  if (r.has_value()) throw std::runtime_error("expected a failure, got success");
  return r.error();
}
#define EXPECT_ERR(expr, kind) EXPECT_EQ(::ferrowick::error_of(expr), ::ferrowick::IoError(kind))

// The value of a result that must have succeeded.
template <class T>
T must(Expected<T, IoError> r) {
  if (!r) throw std::runtime_error("unexpected failure: " + r.error().name());
  return std::move(*r);
}

inline InodeId make_dir(FileSystem& fs, InodeId parent, std::string name) {
  return must(fs.create_inode(parent, std::move(name), Directory{}));
}
inline InodeId make_file(FileSystem& fs, InodeId parent, std::string name) {
  return must(fs.create_inode(parent, std::move(name), File{}));
}

inline std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A file's content and lock word, read directly from its record.
inline std::string content_of(const FileSystem& fs, InodeId id) {
  INodeRef node = fs.lookup(id);
  auto guard = node->data.read();
  const auto& data = std::get<File>(*guard).data.data;
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}
inline std::int32_t flag_of(const FileSystem& fs, InodeId id) {
  return std::get<File>(*fs.lookup(id)->data.read()).lock.flag.load();
}

}  // namespace ferrowick
