#include "pybinding/signal_wait.h"

#include <atomic>

#include "pybinding/py_ref.h"

namespace ferrowick::py {

bool on_main_thread() {
  // The main thread's identifier, as the threading module knows it; asked
  // once, with the interpreter lock held (callers hold it).
  static std::atomic<unsigned long> main_ident{0};
  unsigned long ident = main_ident.load(std::memory_order_relaxed);
  if (ident == 0) {
    PyObject* exc = PyErr_GetRaisedException();
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
    PyRef value = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
    ident = value ? PyLong_AsUnsignedLong(value.get()) : 0;
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (ident == 0 || ident == static_cast<unsigned long>(-1)) return false;
    main_ident.store(ident, std::memory_order_relaxed);
  }
  return PyThread_get_thread_ident() == ident;
}

}  // namespace ferrowick::py
