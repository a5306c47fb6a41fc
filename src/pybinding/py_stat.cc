#include "pybinding/py_stat.h"

#include "pybinding/py_ref.h"

namespace ferrowick::py {

namespace {

PyStructSequence_Field kFields[] = {
    {"kind", "\"file\", \"directory\" or \"symlink\""},
    {"size", "bytes of a file, number of entries of a directory, 0 for a link"},
    {"ino", "the inode identifier"},
    {"mtime_ns", "last change in nanoseconds since the epoch: of a file's contents, of a directory's entries"},
    {"birthtime_ns", "creation in nanoseconds since the epoch"},
    {nullptr, nullptr},
};

// Like os.stat_result, the times are named fields beyond the sequence, so
// that (kind, size, ino) unpacking keeps working.
PyStructSequence_Desc kDesc = {
    "ferrowick.StatResult",
    "What PyFs.stat reports about one entry; unpacks as (kind, size, ino), and\nhas the times as mtime_ns and "
    "birthtime_ns.",
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
  PyRef mtime = PyRef::steal(PyLong_FromLongLong(st.mtime_ns));
  PyRef birthtime = PyRef::steal(PyLong_FromLongLong(st.birthtime_ns));
  if (!size || !ino || !mtime || !birthtime) return nullptr;
  PyObject* result = PyStructSequence_New(type);
  if (!result) return nullptr;
  PyStructSequence_SET_ITEM(result, 0, PyRef::borrow(kind).release());
  PyStructSequence_SET_ITEM(result, 1, size.release());
  PyStructSequence_SET_ITEM(result, 2, ino.release());
  PyStructSequence_SET_ITEM(result, 3, mtime.release());
  PyStructSequence_SET_ITEM(result, 4, birthtime.release());
  return result;
}

}  // namespace ferrowick::py
