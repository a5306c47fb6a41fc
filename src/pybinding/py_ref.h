// PyRef: an owning reference to a Python object.
//
// steal() adopts a new reference, borrow() takes a new one on a borrowed
// pointer, release() hands ownership to the caller (a method's result, or an
// API that steals). Every reference the binding owns is held in a PyRef;
// nowhere else does it change reference counts itself.
#pragma once

#include <Python.h>

#include <utility>

namespace ferrowick::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace ferrowick::py
