// What every script class shares: heap-type creation from a small
// description, allocation and destruction of instances holding a C++ value,
// and the call wrappers that bind arguments, check `self`, and turn a Panic
// (or any C++ exception) into a Python exception at the boundary.
//
// A class is a struct `T : ScriptClass<T> { PyObject_HEAD; <C++ members> }`
// with `static constexpr const char* kName` and `static PyTypeObject* make_type()`.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "pybinding/binder.h"
#include "pybinding/errors.h"
#include "pybinding/py_ref.h"

namespace ferrowick::py {

struct ClassDef {
  const char* name;
  const char* text_signature;  // "(fs)" for classes with a constructor, else nullptr
  const char* doc;
  int basicsize;
  newfunc constructor;  // nullptr: calling the class raises "No constructor defined"
  destructor dealloc;
  PyMethodDef* methods;
  PyType_Slot* extra_slots;  // terminated by {0, nullptr}; may be nullptr
};

// A new heap type: not subclassable, no instance dict, no weak references,
// no cyclic GC. Returns a new reference or nullptr with an exception set.
PyTypeObject* create_type(const ClassDef& def);

// Returns the type made by `make` on first use; later calls return the same
// object. try_cached_type returns nullptr with an exception set on failure
// (module registration); cached_type turns that into an internal assertion
// failure (a method that needs the type after import).
PyTypeObject* try_cached_type(PyTypeObject*& slot, PyTypeObject* (*make)());
PyTypeObject* cached_type(PyTypeObject*& slot, PyTypeObject* (*make)(), const char* name);

// The per-class type object: made by T::make_type() on first use, then the
// same object for the life of the process. An empty base, so it adds nothing
// to the instance layout.
template <class T>
struct ScriptClass {
  static PyTypeObject*& slot() {
    static PyTypeObject* type = nullptr;
    return type;
  }
  static PyTypeObject* type() { return cached_type(slot(), T::make_type, T::kName); }
  static PyTypeObject* type_or_null() { return try_cached_type(slot(), T::make_type); }
};

// Allocates an instance of T's type and constructs its C++ members in place
// from `args`. Returns a new reference, or nullptr with an exception set.
template <class T, class... A>
PyObject* new_instance(A&&... args) {
  PyTypeObject* tp = T::type();
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  T* obj = reinterpret_cast<T*>(self);
  try {
    obj->init(std::forward<A>(args)...);
  } catch (...) {
    // tp_alloc zeroed the object; init() constructs members only on success.
    Py_TYPE(self)->tp_free(self);
    Py_DECREF(tp);
    return raise_current_exception();
  }
  return self;
}

// Destroys T's C++ members (via T::fini), frees the object, drops the type.
template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<T*>(self)->fini();
  tp->tp_free(self);
  Py_DECREF(tp);
}

template <class T>
T* checked_self(PyObject* self) {
  if (PyObject_TypeCheck(self, T::type())) return reinterpret_cast<T*>(self);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(self)->tp_name, T::kName);
  return nullptr;
}

// METH_FASTCALL | METH_KEYWORDS wrapper for `PyObject* Fn(T&, Args&)`.
template <class T, const Signature& Sig, PyObject* (*Fn)(T&, Args&)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!bind(Sig, args, nargs, kwnames, a)) return nullptr;
  T* obj = checked_self<T>(self);
  if (!obj) return nullptr;
  PyRef hold = PyRef::borrow(self);
  try {
    return Fn(*obj, a);
  } catch (...) {
    return raise_current_exception();
  }
}

// METH_STATIC | METH_FASTCALL | METH_KEYWORDS wrapper for `PyObject* Fn(Args&)`.
template <const Signature& Sig, PyObject* (*Fn)(Args&)>
PyObject* staticcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!bind(Sig, args, nargs, kwnames, a)) return nullptr;
  try {
    return Fn(a);
  } catch (...) {
    return raise_current_exception();
  }
}

// METH_NOARGS wrapper for `PyObject* Fn(T&)`.
template <class T, PyObject* (*Fn)(T&)>
PyObject* noargs(PyObject* self, PyObject*) {
  T* obj = checked_self<T>(self);
  if (!obj) return nullptr;
  PyRef hold = PyRef::borrow(self);
  try {
    return Fn(*obj);
  } catch (...) {
    return raise_current_exception();
  }
}

// tp_str wrapper for `std::string Fn(T&)`.
template <class T, std::string (*Fn)(T&)>
PyObject* str_slot(PyObject* self) {
  try {
    std::string s = Fn(*reinterpret_cast<T*>(self));
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  } catch (...) {
    return raise_current_exception();
  }
}

// A method table entry's function pointer, whatever its calling convention.
template <class F>
PyCFunction cfunc(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Context-manager protocol shared by the classes that own a resource:
// `with obj:` gives obj itself and calls Close(obj) on the way out, whether
// or not an exception is leaving the block (the exception is not swallowed).
inline constexpr Param kExitParams[] = {
    {"exc_type", ArgKind::Object}, {"exc_value", ArgKind::Object}, {"traceback", ArgKind::Object}};
template <class T>
PyObject* enter_self(T& self) {
  return PyRef::borrow(reinterpret_cast<PyObject*>(&self)).release();
}
template <class T, PyObject* (*Close)(T&)>
PyObject* exit_close(T& self, Args&) {
  PyRef closed = PyRef::steal(Close(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

// Result conversions.
inline PyObject* to_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}
inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace ferrowick::py
