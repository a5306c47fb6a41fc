// The module entry: creates the module once per process and registers the
// eight classes in order. Only the interpreter that imported it first may
// use it: the type objects and the panic type are made once per process.
#include <Python.h>

#include <utility>

#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/errors.h"
#include "pybinding/py_cgroup.h"
#include "pybinding/py_stat.h"

namespace ferrowick::py {

namespace {

// m_size 0, not -1: with -1 a second interpreter gets a copy of this
// module's dictionary (and so our type objects) without the entry being
// called; with 0 every import that misses sys.modules calls the entry, which
// refuses other interpreters and hands this one the module it already has.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "ferrowick", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

struct Registration {
  const char* name;
  PyTypeObject* (*type)();
};

const Registration kClasses[] = {
    {"PyFs", PyFsObject::type_or_null},
    {"PyFileHandle", PyFileHandleObject::type_or_null},
    {"PyTerm", PyTermObject::type_or_null},
    {"Whence", WhenceObject::type_or_null},
    {"PyUserPool", user_pool_type_or_null},
    {"PyUser", user_type_or_null},
    {"PyTerminalSession", terminal_session_type_or_null},
    {"PyProcess", process_type_or_null},
};

// Appends the class's name to __all__ (made on first use) and sets the
// module attribute of that name.
bool add_class(PyObject* module, const Registration& reg) {
  PyTypeObject* type = reg.type();
  if (!type) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString(reg.name));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttrString(module, reg.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

PyObject* init_module() {
  int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter == -1) {
    g_interpreter = interp;
  } else if (interp != g_interpreter) {
    PyErr_SetString(PyExc_ImportError, "ferrowick does not support sub-interpreters");
    return nullptr;
  }
  if (g_module) return PyRef::borrow(g_module).release();

  set_drop_panic_hook(report_unraisable_panic);
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  for (const Registration& reg : kClasses)
    if (!add_class(module.get(), reg)) return nullptr;
  // PyFs.stat's result type: an attribute for isinstance, not in __all__.
  PyTypeObject* stat_type = stat_result_type();
  if (!stat_type || PyModule_AddObjectRef(module.get(), "StatResult", reinterpret_cast<PyObject*>(stat_type)) < 0)
    return nullptr;
  // The results of session.usage() and PyUser.exec, likewise.
  for (auto [name, type] : {std::pair{"Completed", completed_type()}, std::pair{"Usage", usage_type()}}) {
    if (!type || PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
  }
  // The package's version; an attribute, not an export.
  if (PyModule_AddStringConstant(module.get(), "__version__", FERROWICK_VERSION) < 0) return nullptr;
  g_module = PyRef(module).release();  // kept for later initialisations
  return module.release();
}

}  // namespace

}  // namespace ferrowick::py

// The only symbol the library exports. Type creation allocates, so a C++
// exception is possible here and is raised, never thrown to the interpreter.
PyMODINIT_FUNC PyInit_ferrowick() {
  try {
    return ferrowick::py::init_module();
  } catch (...) {
    return ferrowick::py::raise_current_exception();
  }
}
