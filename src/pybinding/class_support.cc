#include "pybinding/class_support.h"

#include <structmember.h>

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
  // A placeholder "__module__" entry keeps the interpreter from warning that
  // a type with a bare name has no module; it is replaced by the real text
  // before the type is handed out, so the placeholder is never reachable.
  static PyMemberDef placeholder[] = {{"__module__", Py_T_OBJECT_EX, 0, Py_READONLY, nullptr}, {}};
  slots.push_back({Py_tp_members, placeholder});
  if (def.methods) slots.push_back({Py_tp_methods, def.methods});
  if (def.extra_slots)
    for (PyType_Slot* s = def.extra_slots; s->slot; ++s) slots.push_back(*s);
  slots.push_back({0, nullptr});

  PyType_Spec spec = {def.name, def.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  PyRef type = PyRef::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  // The type's name stays bare; __module__ still tells tools where it lives.
  PyRef module = PyRef::steal(PyUnicode_FromString("ferrowick"));
  if (!module || PyDict_SetItemString(tp->tp_dict, "__module__", module.get()) < 0) return nullptr;
  PyType_Modified(tp);
  type.release();
  return tp;
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
