// The one place where failures of the core become Python exceptions.
//
//   IoError             -> ValueError(message)
//   error text          -> ValueError(text)
//   SnapshotError       -> ValueError(message)
//   Panic               -> PanicException(message)  (derives from BaseException)
//   std::bad_alloc      -> MemoryError
//   a wait that ran out -> TimeoutError(text)
//   TransferError       -> OSError subclass of its errno (with the host path),
//                          ValueError(IoError message), ValueError(text)
//   a host errno        -> the OSError subclass of that errno (FileNotFoundError ...)
// Every raise_* function sets the error indicator and returns nullptr so a
// method can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <string_view>

#include "common/panic.h"
#include "error/io_error.h"
#include "fs/host_copy.h"
#include "fs/snapshot_image.h"

namespace ferrowick::py {

PyObject* raise_value_error(std::string_view text);
PyObject* raise_io_error(const IoError& err);
PyObject* raise_snapshot_error(const SnapshotError& err);
PyObject* raise_panic(std::string_view message);
PyObject* raise_type_error(std::string_view text);
PyObject* raise_timeout_error(std::string_view text);
PyObject* raise_transfer_error(const TransferError& err);
// Adds `note` (exception.add_note) to the exception currently set, which
// stays set; an empty note adds nothing. Returns nullptr.
PyObject* add_note_to_current(std::string_view note);
// OSError(err, strerror(err)[, filename]): the interpreter picks the subclass.
PyObject* raise_os_error(int err, std::string_view filename = {});

// The PanicException type, created once per process (new reference or null).
PyObject* panic_exception_type();

// Converts the exception in flight (call only inside a catch block) and
// returns nullptr. Used by the call wrappers at the binding boundary.
PyObject* raise_current_exception() noexcept;

// Reports the exception in flight (call only inside a catch block) through
// the interpreter's unraisable-exception hook, naming `where`; an exception
// already set in the interpreter is kept. For destructors, which cannot raise.
void report_unraisable_current_exception(PyObject* where) noexcept;

// Installed as the core's drop-panic hook: reports a Panic met in a
// destructor through the interpreter's unraisable-exception hook.
void report_unraisable_panic(const Panic& p);

}  // namespace ferrowick::py
