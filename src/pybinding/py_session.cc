// PyTerminalSession: one bash shell running as a pool account.
//
// The native session synchronises itself (one lock per stream, close()
// waking every waiting call), so the script object holds it bare. Every
// call that may wait releases the interpreter lock and, on the main thread,
// lets signal handlers run at least every 0.1 s (signal_wait.h).
#include <algorithm>
#include <csignal>
#include <optional>
#include <memory>
#include <string>

#include "pool/terminal_session.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/gil.h"
#include "pybinding/py_cgroup.h"
#include "pybinding/pool_calls.h"
#include "pybinding/signal_wait.h"

namespace ferrowick::py {

namespace {

using Stream = TerminalSession::Stream;

struct SessionObject : ScriptClass<SessionObject> {
  PyObject_HEAD
  std::unique_ptr<TerminalSession> session;
  pid_t creator;

  static constexpr const char* kName = "PyTerminalSession";
  static PyTypeObject* make_type();
  void init(std::unique_ptr<TerminalSession> s) {
    new (&session) std::unique_ptr<TerminalSession>(std::move(s));
    creator = ::getpid();
  }
  // Kills and reaps su, then drops the User reference (not in a forked
  // child: the session is the parent's).
  void fini() { destroy_without_gil(creator, session, std::move(session)); }
};

// Runs `op(session, limits)` without the interpreter lock, bounded by the
// optional timeout argument `a`, with signal handlers running meanwhile.
template <class Op>
auto waiting(SessionObject& self, const Arg& timeout, Op&& op) {
  return py::waiting(timeout, [&](const WaitLimits& l) { return op(*self.session, l); });
}

constexpr Param kWriteParams[] = {{"data", ArgKind::Bytes}, {"timeout", ArgKind::OptSeconds}};
constexpr Signature kWriteSig{"PyTerminalSession.write()", kWriteParams};
constexpr Param kReadParams[] = {{"buffer", ArgKind::OptU32}, {"timeout", ArgKind::OptSeconds}};
constexpr Signature kReadSig{"PyTerminalSession.read()", kReadParams};
constexpr Signature kReadErrSig{"PyTerminalSession.read_err()", kReadParams};
constexpr Param kTimeoutParams[] = {{"timeout", ArgKind::OptSeconds}};
constexpr Signature kWaitSig{"PyTerminalSession.wait()", kTimeoutParams};
constexpr Param kRunParams[] = {
    {"command", ArgKind::Text}, {"timeout", ArgKind::OptSeconds}, {"max_output", ArgKind::OptUWord}};
constexpr Signature kRunSig{"PyTerminalSession.run()", kRunParams};
constexpr Param kInterruptParams[] = {{"signal", ArgKind::OptU32}};
constexpr Signature kInterruptSig{"PyTerminalSession.interrupt()", kInterruptParams};
constexpr Signature kSessionExitSig{"PyTerminalSession.__exit__()", kExitParams};

// False, with ValueError set, when the session's account was released (the
// session is closed then, reaping su) or belongs to the process this one
// was forked from.
bool usable(SessionObject& self) {
  if (account_usable(self.session->user(), self.creator)) return true;
  if (::getpid() == self.creator) without_gil([&] { self.session->close(); });
  return false;
}

PyObject* session_close(SessionObject& self) {
  if (::getpid() != self.creator) return raise_value_error("The account belongs to the process that allocated it");
  without_gil([&] { self.session->close(); });
  return none();
}

PyObject* session_write(SessionObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  // The bytes object stays alive (held by the call) while the lock is released.
  auto r = waiting(self, a[1], [&](TerminalSession& s, const WaitLimits& l) { return s.write(a[0].bytes, l); });
  return r ? none() : raise_session_error(r.error());
}

template <Stream S>
PyObject* session_read(SessionObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  return read_bytes(a[0], a[1], [&](std::span<std::uint8_t> area, const WaitLimits& l) {
    return self.session->read(S, area, l);
  });
}

PyObject* session_interrupt(SessionObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  std::optional<int> signal;
  if (a[0].present) {
    if (a[0].number < 1 || a[0].number >= static_cast<std::uint64_t>(NSIG)) {
      return raise_value_error("PyTerminalSession.interrupt(): signal " + std::to_string(a[0].number) +
                               " is out of range");
    }
    signal = static_cast<int>(a[0].number);
  }
  // Never waits: a few reads of /proc and at most a short flush.
  auto r = without_gil([&] { return self.session->interrupt(signal); });
  return r ? none() : raise_session_error(r.error());
}

PyObject* session_wait(SessionObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  auto r = waiting(self, a[0], [](TerminalSession& s, const WaitLimits& l) { return s.wait(l); });
  return r ? PyLong_FromLong(*r) : raise_session_error(r.error());
}

PyObject* session_run(SessionObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  const std::size_t max_output = a[2].present ? static_cast<std::size_t>(a[2].number) : SIZE_MAX;
  auto r = waiting(self, a[1],
                   [&](TerminalSession& s, const WaitLimits& l) { return s.run(a[0].text, l, max_output); });
  if (!r) return raise_session_error(r.error());
  return Py_BuildValue("(iy#)", r->status, r->output.data(), static_cast<Py_ssize_t>(r->output.size()));
}

PyObject* session_usage(SessionObject& self) {
  // Waits while close() removes the group (bounded), so without the lock.
  return new_usage(without_gil([&] { return self.session->usage(); }));
}

template <int (TerminalSession::*Fd)() const>
PyObject* session_fileno(SessionObject& self) {
  if (!usable(self)) return nullptr;
  const int fd = ((*self.session).*Fd)();
  return fd < 0 ? raise_value_error("The process is None") : PyLong_FromLong(fd);
}

PyObject* session_pid(PyObject* self, void*) {
  const pid_t pid = reinterpret_cast<SessionObject*>(self)->session->pid();
  if (pid < 0) return none();
  return PyLong_FromLong(pid);
}

PyMethodDef kSessionMethods[] = {
    {"close", cfunc(noargs<SessionObject, session_close>), METH_NOARGS,
     "close($self)\n--\n\n\nClose the terminal session.\n"},
    {"write", cfunc(fastcall<SessionObject, kWriteSig, session_write>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data, timeout=None)\n--\n\n\nWrite data to the terminal session.\n"},
    {"read", cfunc(fastcall<SessionObject, kReadSig, session_read<Stream::kStdout>>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, buffer=None, timeout=None)\n--\n\n\nRead data from the terminal session.\n"},
    {"read_err", cfunc(fastcall<SessionObject, kReadErrSig, session_read<Stream::kStderr>>),
     METH_FASTCALL | METH_KEYWORDS,
     "read_err($self, buffer=None, timeout=None)\n--\n\n\nRead data from the stderr of the terminal session.\n"},
    {"usage", cfunc(noargs<SessionObject, session_usage>), METH_NOARGS,
     "usage($self)\n--\n\nWhat the session's whole process tree used, as a ferrowick.Usage;\nfrozen at its end once "
     "the session is closed.\n"},
    {"interrupt", cfunc(fastcall<SessionObject, kInterruptSig, session_interrupt>), METH_FASTCALL | METH_KEYWORDS,
     "interrupt($self, signal=None)\n--\n\n\nInterrupt the job in the foreground of the session's terminal, "
     "without waiting.\n\nWithout signal: Ctrl-C through the terminal when it can take it at once,\nelse SIGINT "
     "to the foreground process group. With a signal number,\nthat signal goes to the foreground process group "
     "(never to the shell).\nInput not yet read by the interrupted job is thrown away.\n"},
    {"fileno", cfunc(noargs<SessionObject, session_fileno<&TerminalSession::stdout_fd>>), METH_NOARGS,
     "fileno($self)\n--\n\n\nReturn the descriptor of the session's standard output, to wait on.\n"},
    {"fileno_err", cfunc(noargs<SessionObject, session_fileno<&TerminalSession::stderr_fd>>), METH_NOARGS,
     "fileno_err($self)\n--\n\n\nReturn the descriptor of the session's standard error, to wait on.\n"},
    {"wait", cfunc(fastcall<SessionObject, kWaitSig, session_wait>), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\n\nWait for the shell to exit and return its exit status.\n"},
    {"run", cfunc(fastcall<SessionObject, kRunSig, session_run>), METH_FASTCALL | METH_KEYWORDS,
     "run($self, command, timeout=None, max_output=None)\n--\n\n\nRun one command line in the shell and return "
     "its exit status and output.\n\nThe command's standard input is /dev/null. Output beyond max_output bytes\n"
     "is read and dropped: a result as long as max_output may have been cut.\nWhat the shell printed before the "
     "command is kept for the next read().\n\nThe status and output come from the account's own shell, which the\n"
     "account's programs can change (a redefined printf, a DEBUG trap): they\nare only as trustworthy as the "
     "tenant. For results a tenant must not\nforge, run the program with PyUser.exec, without a shell.\n"},
    {"__enter__", cfunc(noargs<SessionObject, enter_self<SessionObject>>), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the session itself for use in a with statement.\n"},
    {"__exit__", cfunc(fastcall<SessionObject, kSessionExitSig, exit_close<SessionObject, session_close>>),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the session on leaving a with statement.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSessionGetSet[] = {
    {"pid", session_pid, nullptr, "The process id of su, or None once the session is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSessionSlots[] = {
    {Py_tp_getset, kSessionGetSet},
    {0, nullptr},
};

}  // namespace

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
      kSessionSlots,
  });
}

PyObject* new_terminal_session(std::unique_ptr<TerminalSession> session) {
  return new_instance<SessionObject>(std::move(session));
}

PyTypeObject* terminal_session_type_or_null() { return SessionObject::type_or_null(); }

}  // namespace ferrowick::py
