// What the script objects over host processes (PyTerminalSession,
// PyProcess) share: bounded waits without the interpreter lock, their
// failures as exceptions, and reads into a new bytes object.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <span>

#include "pool/terminal_session.h"
#include "pybinding/binder.h"
#include "pybinding/errors.h"
#include "pybinding/py_ref.h"
#include "pybinding/signal_wait.h"

namespace ferrowick::py {

// A failed bounded call: ValueError with its message, TimeoutError, or the
// exception a signal handler raised meanwhile.
inline PyObject* raise_session_error(const SessionError& e) {
  switch (e.kind) {
    case SessionError::Kind::kFailed:
      return raise_value_error(e.message);
    case SessionError::Kind::kTimedOut:
      return raise_timeout_error(e.message);
    case SessionError::Kind::kInterrupted:
      break;
  }
  return PyErr_Occurred() ? nullptr : raise_panic("a wait was interrupted without an exception");
}

// Runs `op(limits)` without the interpreter lock, bounded by the optional
// timeout argument, with signal handlers running meanwhile.
template <class Op>
auto waiting(const Arg& timeout, Op&& op) {
  const auto deadline = timeout.present ? deadline_after(timeout.seconds) : std::nullopt;
  return without_gil_checking_signals([&](const WaitCheck& check) { return op(WaitLimits{deadline, check}); });
}

// A pipe read never returns more than the pipe holds; 1 MiB is the largest
// capacity a pipe can be given by default, so larger sizes reserve no more.
inline constexpr std::size_t kMaxReadReserve = std::size_t{1} << 20;
inline constexpr std::size_t kDefaultReadSize = 1024;

// read(buffer=None, timeout=None): `read(area, limits)` fills the start of
// a new bytes object of up to `size` bytes (default 1024) and returns the
// count; the bytes object is cut to it.
template <class Read>
PyObject* read_bytes(const Arg& size, const Arg& timeout, Read&& read) {
  const std::size_t want = size.present ? static_cast<std::size_t>(size.number) : kDefaultReadSize;
  const std::size_t reserve = std::min(want, kMaxReadReserve);
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(reserve));
  if (!out) return nullptr;
  PyRef owned = PyRef::steal(out);
  // Nobody else sees the new bytes object yet: it is filled without the lock.
  std::span<std::uint8_t> area(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)), reserve);
  auto n = waiting(timeout, [&](const WaitLimits& l) { return read(area, l); });
  if (!n) return raise_session_error(n.error());
  out = owned.release();
  if (*n != reserve && _PyBytes_Resize(&out, static_cast<Py_ssize_t>(*n)) < 0) return nullptr;
  return out;
}

}  // namespace ferrowick::py
