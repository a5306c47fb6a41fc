// Host waits that let the interpreter's signal handlers run.
//
// without_gil_checking_signals(f) releases the interpreter lock and calls
// f(check). On the main thread (the only one where the interpreter runs
// signal handlers) `check` takes the lock back for a moment, runs the
// pending handlers and releases it again; it returns false once a handler
// has raised, and the exception stays set for the method to return. On
// other threads `check` is empty: waiting there never touches the
// interpreter, so a Ctrl-C in the main thread ends the program while such a
// thread still waits (in a daemon thread, or one its owner closes).
//
// Everything here that waits long does so through pool/fd_wait.h, calling
// the check at least every kCheckInterval, with no native lock held.
#pragma once

#include <Python.h>

#include <utility>

#include "pool/fd_wait.h"
#include "pybinding/gil.h"

namespace ferrowick::py {

template <class F>
decltype(auto) without_gil_checking_signals(F&& f) {
  const bool main = on_main_thread();
  struct Released {
    PyThreadState* state;
    bool main;
    ~Released() { take_back_gil(state, main); }
  } released{PyEval_SaveThread(), main};
  WaitCheck check;
  bool raised = false;
  if (main) {
    check = [&released, &raised] {
      if (raised) return false;  // the exception stays as the first handler left it
      take_back_gil(released.state, true);
      raised = PyErr_CheckSignals() != 0;
      released.state = PyEval_SaveThread();
      return !raised;
    };
  }
  return std::forward<F>(f)(check);
}

// For host work whose calls take no limits (creating, releasing accounts):
// installs the check for the current thread while f() runs.
template <class F>
decltype(auto) without_gil_running_signal_handlers(F&& f) {
  return without_gil_checking_signals([&](const WaitCheck& check) -> decltype(auto) {
    ScopedWaitCheck scoped(check);
    return std::forward<F>(f)();
  });
}

}  // namespace ferrowick::py
