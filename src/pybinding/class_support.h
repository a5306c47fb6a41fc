// What every script class shares: heap-type creation from a small
// description, allocation and destruction of instances holding a C++ value,
// and the call wrappers that bind arguments, check `self`, and turn a Panic
// (or any C++ exception) into a Python exception at the boundary.
//
// A class is a struct `T : ScriptClass<T> { PyObject_HEAD; <C++ members> }`
// with `static constexpr const char* kName` and `static PyTypeObject* make_type()`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
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
PyObject* new_instance(A&&... args) noexcept {
  try {
    PyTypeObject* tp = T::type();
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    try {
      reinterpret_cast<T*>(self)->init(std::forward<A>(args)...);
    } catch (...) {
      // tp_alloc zeroed the object; init() constructs members only on
      // success. The instance's reference to its heap type goes with it.
      PyRef type_ref = PyRef::steal(reinterpret_cast<PyObject*>(tp));
      tp->tp_free(self);
      throw;
    }
    return self;
  } catch (...) {
    return raise_current_exception();
  }
}

// Destroys T's C++ members (via T::fini), frees the object, drops the type.
// A C++ exception from fini() cannot be raised here; it goes to the
// interpreter's unraisable-exception hook and the object is freed anyway.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyRef type_ref = PyRef::steal(reinterpret_cast<PyObject*>(tp));
  try {
    reinterpret_cast<T*>(self)->fini();
  } catch (...) {
    report_unraisable_current_exception(reinterpret_cast<PyObject*>(tp));
  }
  tp->tp_free(self);
}

template <class T>
T* checked_self(PyObject* self) {
  if (PyObject_TypeCheck(self, T::type())) return reinterpret_cast<T*>(self);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(self)->tp_name, T::kName);
  return nullptr;
}

// The wrappers below are what the interpreter calls: none lets a C++
// exception through; each becomes a Python exception (errors.h).

// METH_FASTCALL | METH_KEYWORDS wrapper for `PyObject* Fn(T&, Args&)`.
template <class T, const Signature& Sig, PyObject* (*Fn)(T&, Args&)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  Args a;
  if (!bind(Sig, args, nargs, kwnames, a)) return nullptr;
  try {
    T* obj = checked_self<T>(self);
    if (!obj) return nullptr;
    PyRef hold = PyRef::borrow(self);
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
PyObject* noargs(PyObject* self, PyObject*) noexcept {
  try {
    T* obj = checked_self<T>(self);
    if (!obj) return nullptr;
    PyRef hold = PyRef::borrow(self);
    return Fn(*obj);
  } catch (...) {
    return raise_current_exception();
  }
}

// tp_new wrapper for `PyObject* Fn(Args&)`, which returns the new instance.
template <const Signature& Sig, PyObject* (*Fn)(Args&)>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  Args a;
  if (!bind(Sig, args, kwargs, a)) return nullptr;
  try {
    return Fn(a);
  } catch (...) {
    return raise_current_exception();
  }
}

// tp_str wrapper for `std::string Fn(T&)`.
template <class T, std::string (*Fn)(T&)>
PyObject* str_slot(PyObject* self) noexcept {
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
  return PyRef::borrow(Py_False).release();
}

// Result conversions.
inline PyObject* to_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}
inline PyObject* none() { return PyRef::borrow(Py_None).release(); }

// A destination for FileHandle::read_into: a new bytes object of exactly the
// size the read will return, so the bytes are copied once. A null return
// (MemoryError set) abandons the read.
struct NewBytes {
  PyRef result;
  std::uint8_t* operator()(std::size_t size) {
    result = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    return result ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get())) : nullptr;
  }
};

}  // namespace ferrowick::py
