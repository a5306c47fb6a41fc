#include "pybinding/class_support.h"

#include <string>
#include <vector>

namespace ferrowick::py {

namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace

PyTypeObject* create_type(const ClassDef& def) {
  // "Name(sig)\n--\n\n" + text lets the interpreter show the signature.
  std::string doc;
  if (def.text_signature) {
    doc = std::string(def.name) + def.text_signature + "\n--\n\n";
  }
  doc += def.doc;

  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(def.constructor ? def.constructor : no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
  };
  if (def.methods) slots.push_back({Py_tp_methods, def.methods});
  if (def.extra_slots)
    for (PyType_Slot* s = def.extra_slots; s->slot; ++s) slots.push_back(*s);
  slots.push_back({0, nullptr});

  PyType_Spec spec = {def.name, def.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* try_cached_type(PyTypeObject*& slot, PyTypeObject* (*make)()) {
  if (!slot) slot = make();
  return slot;
}

PyTypeObject* cached_type(PyTypeObject*& slot, PyTypeObject* (*make)(), const char* name) {
  if (!try_cached_type(slot, make)) {
    PyErr_Clear();
    panic(std::string("failed to create type object for ") + name);
  }
  return slot;
}

}  // namespace ferrowick::py
