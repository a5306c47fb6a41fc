// PyTerminalSession: one bash shell running as a pool account.
//
// Everything here that can block on the host (session reads and writes,
// killing and reaping su) runs with the interpreter lock released, and the
// native locks it needs are taken only inside that region.
#include <algorithm>
#include <memory>
#include <string>

#include "pool/terminal_session.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/gil.h"

namespace ferrowick::py {

namespace {

using SessionCell = Mutex<std::unique_ptr<TerminalSession>>;

struct SessionObject : ScriptClass<SessionObject> {
  PyObject_HEAD
  SessionCell session;

  static constexpr const char* kName = "PyTerminalSession";
  static PyTypeObject* make_type();
  void init(std::unique_ptr<TerminalSession> s) { new (&session) SessionCell(std::in_place, std::move(s)); }
  // Kills and reaps su, then drops the User reference.
  void fini() { destroy_without_gil(session, std::move(session.unsafe_get())); }
};

// A pipe read never returns more than the pipe holds; 1 MiB is the largest
// capacity a pipe can be given by default, so larger sizes reserve no more.
constexpr std::size_t kMaxReadReserve = std::size_t{1} << 20;
constexpr std::size_t kDefaultReadSize = 1024;

// ---- PyTerminalSession -------------------------------------------------------

constexpr Param kWriteParams[] = {{"data", ArgKind::Bytes}};
constexpr Signature kWriteSig{"PyTerminalSession.write()", kWriteParams};
constexpr Param kReadParams[] = {{"buffer", ArgKind::OptU32}};
constexpr Signature kReadSig{"PyTerminalSession.read()", kReadParams};
constexpr Signature kReadErrSig{"PyTerminalSession.read_err()", kReadParams};

PyObject* session_close(SessionObject& self) {
  without_gil([&] { (*self.session.lock())->close(); });
  return none();
}

constexpr Signature kSessionExitSig{"PyTerminalSession.__exit__()", kExitParams};

PyObject* session_write(SessionObject& self, Args& a) {
  // The bytes object stays alive (held by the call) while the lock is released.
  auto r = without_gil([&] { return (*self.session.lock())->write(a[0].bytes); });
  return r ? none() : raise_value_error(r.error());
}

template <bool Stderr>
PyObject* session_read(SessionObject& self, Args& a) {
  std::size_t want = a[0].present ? static_cast<std::size_t>(a[0].number) : kDefaultReadSize;
  std::size_t reserve = std::min(want, kMaxReadReserve);
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(reserve));
  if (!out) return nullptr;
  std::span<std::uint8_t> area(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)), reserve);
  auto n = without_gil([&] {
    auto session = self.session.lock();
    return Stderr ? (*session)->read_stderr(area) : (*session)->read_stdout(area);
  });
  if (!n) {
    Py_DECREF(out);
    return raise_value_error(n.error());
  }
  if (*n != reserve && _PyBytes_Resize(&out, static_cast<Py_ssize_t>(*n)) < 0) return nullptr;
  return out;
}

PyMethodDef kSessionMethods[] = {
    {"close", cfunc(noargs<SessionObject, session_close>), METH_NOARGS,
     "close($self)\n--\n\n\nClose the terminal session.\n"},
    {"write", cfunc(fastcall<SessionObject, kWriteSig, session_write>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data)\n--\n\n\nWrite data to the terminal session.\n"},
    {"read", cfunc(fastcall<SessionObject, kReadSig, session_read<false>>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, buffer=None)\n--\n\n\nRead data from the terminal session.\n"},
    {"read_err", cfunc(fastcall<SessionObject, kReadErrSig, session_read<true>>), METH_FASTCALL | METH_KEYWORDS,
     "read_err($self, buffer=None)\n--\n\n\nRead data from the stderr of the terminal session.\n"},
    {"__enter__", cfunc(noargs<SessionObject, enter_self<SessionObject>>), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the session itself for use in a with statement.\n"},
    {"__exit__", cfunc(fastcall<SessionObject, kSessionExitSig, exit_close<SessionObject, session_close>>),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the session on leaving a with statement.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* SessionObject::make_type() {
  return create_type({
      "PyTerminalSession",
      nullptr,
      "\nA class that represents a terminal session for a user.\n\nThis class represents a unique terminal session "
      "for a user. The terminal\nsession will automatically create a new user account when the session is\ncreated. "
      "The terminal session will also release the user account back to\nthe pool when the session is dropped.\n",
      static_cast<int>(sizeof(SessionObject)),
      nullptr,
      dealloc_instance<SessionObject>,
      kSessionMethods,
      nullptr,
  });
}
}  // namespace

PyObject* new_terminal_session(std::unique_ptr<TerminalSession> session) {
  return new_instance<SessionObject>(std::move(session));
}

PyTypeObject* terminal_session_type_or_null() { return SessionObject::type_or_null(); }

}  // namespace ferrowick::py
