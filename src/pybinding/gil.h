// Releasing the interpreter lock around calls that block on the host.
//
// Native locks that may be held while the interpreter lock is released are
// only ever taken inside such a region, never while holding the interpreter
// lock, so a thread blocked on one can never stall the interpreter.
#pragma once

#include <Python.h>

#include <utility>

namespace ferrowick::py {

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  // Taking the lock back ends the thread when the interpreter is finalising
  // (pthread_exit unwinds through here), so this may throw.
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
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
template <class Member, class Owned>
void destroy_without_gil(Member& member, Owned owned) {
  member.~Member();
  without_gil([&] { Owned gone = std::move(owned); });
}

}  // namespace ferrowick::py
