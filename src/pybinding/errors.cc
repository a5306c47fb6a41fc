#include "pybinding/errors.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "pybinding/py_ref.h"

namespace ferrowick::py {

namespace {

PyObject* set_error(PyObject* type, std::string_view text) {
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

}  // namespace

PyObject* raise_value_error(std::string_view text) { return set_error(PyExc_ValueError, text); }
PyObject* raise_type_error(std::string_view text) { return set_error(PyExc_TypeError, text); }
PyObject* raise_timeout_error(std::string_view text) { return set_error(PyExc_TimeoutError, text); }
PyObject* add_note_to_current(std::string_view note) {
  if (note.empty()) return nullptr;
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  PyRef added = text ? PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", text.get())) : PyRef();
  if (!added) {
    // The note is lost, not the failure: the original exception stays.
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
  return nullptr;
}
PyObject* raise_os_error(int err, std::string_view filename) {
  PyRef args = PyRef::steal(filename.empty()
                                ? Py_BuildValue("(is)", err, std::strerror(err))
                                : Py_BuildValue("(iss#)", err, std::strerror(err), filename.data(),
                                                static_cast<Py_ssize_t>(filename.size())));
  if (!args) return nullptr;
  PyRef exc = PyRef::steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}
PyObject* raise_io_error(const IoError& err) { return raise_value_error(err.message()); }
PyObject* raise_transfer_error(const TransferError& err) {
  switch (err.kind) {
    case TransferError::Kind::Host: {
      PyRef path = PyRef::steal(
          PyUnicode_DecodeFSDefaultAndSize(err.text.data(), static_cast<Py_ssize_t>(err.text.size())));
      if (!path) return nullptr;
      errno = err.err;
      // OSError(errno, text, path) builds the subclass that errno maps to.
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    }
    case TransferError::Kind::Fs:
      return raise_io_error(err.io);
    case TransferError::Kind::Refused:
      break;
  }
  return raise_value_error(err.text);
}
PyObject* raise_snapshot_error(const SnapshotError& err) { return raise_value_error(err.message); }

PyObject* panic_exception_type() {
  // Created once and kept for the life of the process, like the types.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "ferrowick.PanicException", "An internal assertion failure inside ferrowick.", PyExc_BaseException,
      nullptr);
  return type;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;
  return set_error(type, message.empty() ? std::string_view("explicit panic") : message);
}

PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& p) {
    return raise_panic(p.message());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal failure");
  }
}

void report_unraisable_current_exception(PyObject* where) noexcept {
  PyObject* in_flight = PyErr_GetRaisedException();  // keep it for the caller
  raise_current_exception();
  PyErr_WriteUnraisable(where);
  PyErr_SetRaisedException(in_flight);
}

void report_unraisable_panic(const Panic& p) {
  PyGILState_STATE st = PyGILState_Ensure();
  PyObject* in_flight = PyErr_GetRaisedException();  // keep it for the caller
  raise_panic(p.message());
  PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(in_flight);
  PyGILState_Release(st);
}

}  // namespace ferrowick::py
