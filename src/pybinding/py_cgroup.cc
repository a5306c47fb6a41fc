#include "pybinding/py_cgroup.h"

#include <cerrno>

#include "pybinding/gil.h"
#include "pybinding/py_ref.h"

namespace ferrowick::py {

namespace {

PyStructSequence_Field kFields[] = {
    {"cpu_time", "seconds of CPU, user and system, of the whole tree, finished processes included"},
    {"peak_memory", "bytes: the tree's high-water mark (with source \"rusage\": the largest single process)"},
    {"memory", "bytes the tree uses now"},
    {"pids", "processes and threads of the tree now"},
    {"oom_kills", "processes the kernel killed for the memory limit"},
    {"source", "\"cgroup2\", \"cgroup1\" or \"rusage\": where the figures come from"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "ferrowick.Usage",
    "What a session's or a command's process tree used; frozen once it is closed.",
    kFields,
    6,
};

}  // namespace

PyTypeObject* usage_type() {
  // Kept for the life of the process, like the registered classes.
  static PyTypeObject* type = PyStructSequence_NewType(&kDesc);
  return type;
}

PyObject* new_usage(const CgroupUsage& u) {
  PyTypeObject* type = usage_type();
  if (!type) return nullptr;
  PyRef items[6] = {PyRef::steal(PyFloat_FromDouble(u.cpu_time)),
                    PyRef::steal(PyLong_FromUnsignedLongLong(u.peak_memory)),
                    PyRef::steal(PyLong_FromUnsignedLongLong(u.memory)),
                    PyRef::steal(PyLong_FromUnsignedLongLong(u.pids)),
                    PyRef::steal(PyLong_FromUnsignedLongLong(u.oom_kills)),
                    PyRef::steal(PyUnicode_InternFromString(u.source))};
  for (const PyRef& item : items)
    if (!item) return nullptr;
  PyObject* result = PyStructSequence_New(type);
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 6; ++i) PyStructSequence_SET_ITEM(result, i, items[i].release());
  return result;
}

PyObject* cgroup_capabilities() {
  const CgroupHost& host = *without_gil([] { return &session_cgroup_host(); });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, const char*> entries[] = {
      {"memory", cgroup_mech_name(host.memory.mech)},
      {"pids", cgroup_mech_name(host.pids.mech)},
      {"cpu_percent", cgroup_mech_name(host.cpu.mech)},
      {"usage", host.usage.mech == CgroupMech::kNone ? "rusage" : cgroup_mech_name(host.usage.mech)},
      {"tree_kill", cgroup_mech_name(host.tree_kill.mech)},
  };
  for (auto [key, mech] : entries) {
    PyRef value = mech ? PyRef::steal(PyUnicode_InternFromString(mech)) : PyRef::borrow(Py_None);
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* raise_cgroup_error(const CgroupError& e) {
  if (e.kind == CgroupError::Kind::kUnavailable) {
    PyRef args = PyRef::steal(Py_BuildValue("(is)", EOPNOTSUPP, e.message.c_str()));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, e.message.c_str());
  return nullptr;
}

}  // namespace ferrowick::py
