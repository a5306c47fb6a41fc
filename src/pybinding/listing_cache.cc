#include "pybinding/listing_cache.h"

#include <cstring>

#include "pybinding/errors.h"

namespace ferrowick::py {

namespace {

bool is_ascii(std::string_view s) {
  unsigned char any = 0;
  for (char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// names[begin, end) of a flat listing as a new list of str.
PyObject* str_list(const FlatListing& flat, std::size_t begin, std::size_t end) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(end - begin)));
  if (!list) return nullptr;
  std::size_t start = begin == 0 ? 0 : flat.ends[begin - 1];
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t stop = flat.ends[i];
    PyObject* s = name_to_str(std::string_view(flat.names).substr(start, stop - start));
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - begin), s);
    start = stop;
  }
  return list.release();
}

PyObject* pair_of_copies(PyObject* files, PyObject* directories) {
  PyRef f = PyRef::steal(PyList_GetSlice(files, 0, PY_SSIZE_T_MAX));
  if (!f) return nullptr;
  PyRef d = PyRef::steal(PyList_GetSlice(directories, 0, PY_SSIZE_T_MAX));
  if (!d) return nullptr;
  return PyTuple_Pack(2, f.get(), d.get());
}

}  // namespace

PyObject* name_to_str(std::string_view name) {
  if (is_ascii(name)) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(name.size()), 127);
    if (s && !name.empty()) std::memcpy(PyUnicode_DATA(s), name.data(), name.size());
    return s;
  }
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

PyObject* ListingCache::listdir(const FileSystem& fs, std::string_view path) {
  // The file system skips copying the names when the key is one we hold.
  auto key = fs.list_path(path, known(), scratch_);
  if (!key) return raise_io_error(key.error());
  for (Slot& slot : slots_) {
    if (slot.key == *key) return pair_of_copies(slot.files.get(), slot.directories.get());
  }
  const FlatListing& flat = scratch_;
  PyRef files = PyRef::steal(str_list(flat, 0, flat.file_count));
  if (!files) return nullptr;
  PyRef directories = PyRef::steal(str_list(flat, flat.file_count, flat.ends.size()));
  if (!directories) return nullptr;
  if (flat.ends.size() <= kMaxNames) {
    // The cache keeps its own lists: callers may change the ones they get.
    PyRef files_copy = PyRef::steal(PyList_GetSlice(files.get(), 0, PY_SSIZE_T_MAX));
    PyRef dirs_copy = PyRef::steal(PyList_GetSlice(directories.get(), 0, PY_SSIZE_T_MAX));
    if (!files_copy || !dirs_copy) return nullptr;
    const std::size_t i = next_;
    next_ = (next_ + 1) % kSlots;
    slots_[i] = Slot{*key, std::move(files_copy), std::move(dirs_copy)};
    keys_[i] = *key;
  }
  if (scratch_.names.capacity() > (std::size_t{1} << 20)) scratch_ = FlatListing();  // no big buffer kept
  return PyTuple_Pack(2, files.get(), directories.get());
}

}  // namespace ferrowick::py
