// Releasing the interpreter lock around calls that block on the host.
//
// Native locks that may be held while the interpreter lock is released are
// only ever taken inside such a region, never while holding the interpreter
// lock, so a thread blocked on one can never stall the interpreter.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace ferrowick::py {

// True on the interpreter's main thread: the one that runs signal handlers
// and finalises the interpreter.
bool on_main_thread();

// PyEval_RestoreThread, except that another thread coming back while the
// interpreter is finalising sleeps until the process ends: the interpreter
// would end it with pthread_exit, whose unwinding may not pass the binding's
// noexcept entry points.
inline void take_back_gil(PyThreadState* state, bool main_thread) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing();
#else
  const bool finalizing = _Py_IsFinalizing();
#endif
  if (finalizing && !main_thread) {
    for (;;) ::pause();
  }
  PyEval_RestoreThread(state);
}

class GilRelease {
 public:
  GilRelease() : main_(on_main_thread()), state_(PyEval_SaveThread()) {}
  ~GilRelease() { take_back_gil(state_, main_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  bool main_;
  PyThreadState* state_;
};

// Runs f() without the interpreter lock; a Panic thrown by f propagates after
// the lock is taken back.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease release;
  return std::forward<F>(f)();
}

// Destroys a member of an object being freed, letting go of what it owns
// (which may kill processes, reap su and release an account) without the
// interpreter lock. `owned` is what the member owns, moved out of it.
// In a process forked from the one that made the object (`creator`), what
// it owns is the parent's: it is left as it is, never destroyed, so the
// child kills, reaps and releases nothing.
template <class Member, class Owned>
void destroy_without_gil(pid_t creator, Member& member, Owned owned) {
  member.~Member();
  if (::getpid() != creator) {
    alignas(Owned) unsigned char kept[sizeof(Owned)];
    new (kept) Owned(std::move(owned));
    return;
  }
  without_gil([&] { Owned gone = std::move(owned); });
}

}  // namespace ferrowick::py
