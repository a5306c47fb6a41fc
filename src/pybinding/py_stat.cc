#include "pybinding/py_stat.h"

#include "pybinding/py_ref.h"

namespace ferrowick::py {

namespace {

PyStructSequence_Field kFields[] = {
    {"kind", "\"file\", \"directory\" or \"symlink\""},
    {"size", "bytes of a file, number of entries of a directory, 0 for a link"},
    {"ino", "the inode identifier"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "ferrowick.StatResult",
    "What PyFs.stat reports about one entry; unpacks as (kind, size, ino).",
    kFields,
    3,
};

// The kind names, made once: every StatResult shares them.
PyObject* kind_name(KindTag kind) {
  static PyObject* names[3] = {PyUnicode_InternFromString("file"), PyUnicode_InternFromString("directory"),
                               PyUnicode_InternFromString("symlink")};
  PyObject* name = names[static_cast<int>(kind)];
  if (!name) PyErr_NoMemory();
  return name;
}

}  // namespace

PyTypeObject* stat_result_type() {
  // Kept for the life of the process, like the registered classes.
  static PyTypeObject* type = PyStructSequence_NewType(&kDesc);
  return type;
}

PyObject* new_stat_result(const EntryStat& st) {
  PyTypeObject* type = stat_result_type();
  if (!type) return nullptr;
  PyObject* kind = kind_name(st.kind);
  if (!kind) return nullptr;
  PyRef size = PyRef::steal(PyLong_FromUnsignedLongLong(st.size));
  PyRef ino = PyRef::steal(PyLong_FromUnsignedLongLong(st.ino));
  if (!size || !ino) return nullptr;
  PyObject* result = PyStructSequence_New(type);
  if (!result) return nullptr;
  PyStructSequence_SET_ITEM(result, 0, PyRef::borrow(kind).release());
  PyStructSequence_SET_ITEM(result, 1, size.release());
  PyStructSequence_SET_ITEM(result, 2, ino.release());
  return result;
}

}  // namespace ferrowick::py
