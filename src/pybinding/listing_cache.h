// ListingCache: the str objects of a PyFs's most recent listings.
//
// A listing is cached under its directory's ListingKey (id and change
// stamp): while the directory's children stay the same, listdir hands out
// new lists holding the same str objects instead of building every name
// again, and any change of the children gives a new key. A few listings are
// kept, each up to kMaxNames names, so the cache stays small. Used only
// with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "fs/file_system.h"
#include "pybinding/py_ref.h"

namespace ferrowick::py {

class ListingCache {
 public:
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kMaxNames = std::size_t{1} << 17;

  // listdir of `path`: a tuple (files, directories) of new lists, or null
  // with an exception set.
  PyObject* listdir(const FileSystem& fs, std::string_view path);

 private:
  struct Slot {
    ListingKey key;
    PyRef files;
    PyRef directories;
  };
  // The keys the file system may skip listing for.
  std::span<const ListingKey> known() const { return {keys_, kSlots}; }

  ListingKey keys_[kSlots];
  Slot slots_[kSlots];
  std::size_t next_ = 0;  // the slot a new listing replaces
  FlatListing scratch_;   // reused between listings
};

// A str from UTF-8 text (ASCII copied straight in; invalid bytes replaced).
PyObject* name_to_str(std::string_view name);

}  // namespace ferrowick::py
