// PyProcess and Completed: programs run as a pool account without a
// terminal (PyUser.start and PyUser.exec; the argument conversion shared
// with spawn is in py_pool.cc).
//
// The native process synchronises itself, so the script object holds it
// bare. Every call that may wait releases the interpreter lock and, on the
// main thread, lets signal handlers run at least every 0.1 s; exec kills
// the command's tree when a handler raises (Ctrl-C).
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "pool/command_process.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/errors.h"
#include "pybinding/gil.h"
#include "pybinding/py_cgroup.h"
#include "pybinding/pool_calls.h"
#include "pybinding/signal_wait.h"

namespace ferrowick::py {

namespace {

using Stream = CommandProcess::Stream;

struct ProcessObject : ScriptClass<ProcessObject> {
  PyObject_HEAD
  std::unique_ptr<CommandProcess> process;
  pid_t creator;

  static constexpr const char* kName = "PyProcess";
  static PyTypeObject* make_type();
  void init(std::unique_ptr<CommandProcess> p) {
    new (&process) std::unique_ptr<CommandProcess>(std::move(p));
    creator = ::getpid();
  }
  // Kills the tree and reaps the leader, then drops the User reference
  // (not in a forked child: the process is the parent's).
  void fini() { destroy_without_gil(creator, process, std::move(process)); }
};

// ---- Completed ------------------------------------------------------------------

PyStructSequence_Field kCompletedFields[] = {
    {"status", "the exit code, or -N when signal N ended the command"},
    {"stdout", "what it wrote to standard output (bytes)"},
    {"stderr", "what it wrote to standard error (bytes)"},
    {"timed_out", "True when the timeout killed the command's tree"},
    {"truncated", "True when output beyond max_output was dropped"},
    {"usage", "a Usage: what the command's tree used"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kCompletedDesc = {"ferrowick.Completed", "What PyUser.exec returns.", kCompletedFields, 6};

// Builds a struct sequence of `type` from new references (all non-null, or
// null with an exception set: then every one given is dropped).
PyObject* fill(PyTypeObject* type, std::initializer_list<PyObject*> items) {
  std::vector<PyRef> owned;
  for (PyObject* o : items) owned.push_back(PyRef::steal(o));
  if (!type) return nullptr;
  for (const PyRef& o : owned)
    if (!o) return nullptr;
  PyObject* result = PyStructSequence_New(type);
  if (!result) return nullptr;
  Py_ssize_t i = 0;
  for (PyRef& o : owned) PyStructSequence_SET_ITEM(result, i++, o.release());
  return result;
}

PyObject* new_completed(const CommandOutcome& c) {
  return fill(completed_type(),
              {PyLong_FromLong(c.status),
               PyBytes_FromStringAndSize(c.out.data(), static_cast<Py_ssize_t>(c.out.size())),
               PyBytes_FromStringAndSize(c.err.data(), static_cast<Py_ssize_t>(c.err.size())),
               PyBool_FromLong(c.timed_out), PyBool_FromLong(c.truncated), new_usage(c.usage)});
}

// ---- failures -------------------------------------------------------------------

// As subprocess: the errno of the step that failed, naming the directory or
// the program it concerns.
PyObject* raise_start_error(const CommandStartError& e, const CommandSpec& spec, const std::string& home) {
  if (!e.message.empty()) return raise_value_error(e.message);
  if (e.group) return raise_cgroup_error(*e.group);
  switch (e.launch.step) {
    case LaunchStep::kCwd:
      return raise_os_error(e.launch.err, spec.cwd ? *spec.cwd : home);
    case LaunchStep::kExec:
      return raise_os_error(e.launch.err, spec.argv.front());
    default:
      return raise_os_error(e.launch.err);
  }
}

std::string home_of(const SharedUser& user) {
  return without_gil([&] { return std::string(user->lock()->home()); });
}

// ---- PyProcess ------------------------------------------------------------------

constexpr Param kWriteParams[] = {{"data", ArgKind::Buffer}, {"timeout", ArgKind::OptSeconds}};
constexpr Signature kWriteSig{"PyProcess.write()", kWriteParams};
constexpr Param kReadParams[] = {{"buffer", ArgKind::OptU32}, {"timeout", ArgKind::OptSeconds}};
constexpr Signature kReadSig{"PyProcess.read()", kReadParams};
constexpr Signature kReadErrSig{"PyProcess.read_err()", kReadParams};
constexpr Param kTimeoutParams[] = {{"timeout", ArgKind::OptSeconds}};
constexpr Signature kWaitSig{"PyProcess.wait()", kTimeoutParams};
constexpr Signature kExitSig{"PyProcess.__exit__()", kExitParams};

// False, with ValueError set, when the command's account was released (the
// release killed its tree; the process is closed then, reaping the leader)
// or belongs to the process this one was forked from.
bool usable(ProcessObject& self) {
  if (account_usable(self.process->user(), self.creator)) return true;
  if (::getpid() == self.creator) without_gil([&] { self.process->close(); });
  return false;
}

// False, with ValueError set, in a process forked from the one that
// started the command: its tree is not this process's to end.
bool own(ProcessObject& self) {
  if (::getpid() == self.creator) return true;
  raise_value_error("The account belongs to the process that allocated it");
  return false;
}

PyObject* process_write(ProcessObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  // The buffer stays held (by the argument) while the lock is released.
  auto r = waiting(a[1], [&](const WaitLimits& l) { return self.process->write(a[0].bytes, l); });
  return r ? none() : raise_session_error(r.error());
}

template <Stream S>
PyObject* process_read(ProcessObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  return read_bytes(a[0], a[1], [&](std::span<std::uint8_t> area, const WaitLimits& l) {
    return self.process->read(S, area, l);
  });
}

PyObject* process_wait(ProcessObject& self, Args& a) {
  if (!usable(self)) return nullptr;
  auto r = waiting(a[0], [&](const WaitLimits& l) { return self.process->wait(l); });
  return r ? PyLong_FromLong(*r) : raise_session_error(r.error());
}

PyObject* process_close_stdin(ProcessObject& self) {
  if (!usable(self)) return nullptr;
  auto r = without_gil([&] { return self.process->close_stdin(); });
  return r ? none() : raise_session_error(r.error());
}

PyObject* process_kill(ProcessObject& self) {
  if (!own(self)) return nullptr;
  without_gil([&] { self.process->kill(); });
  return none();
}

PyObject* process_close(ProcessObject& self) {
  if (!own(self)) return nullptr;
  without_gil([&] { self.process->close(); });
  return none();
}

PyObject* process_usage(ProcessObject& self) {
  return new_usage(without_gil([&] { return self.process->usage(); }));
}

template <int (CommandProcess::*Fd)() const>
PyObject* process_fileno(ProcessObject& self) {
  if (!usable(self)) return nullptr;
  const int fd = ((*self.process).*Fd)();
  return fd < 0 ? raise_value_error("The process is closed") : PyLong_FromLong(fd);
}

PyObject* process_pid(PyObject* self, void*) {
  return PyLong_FromLong(reinterpret_cast<ProcessObject*>(self)->process->pid());
}

PyObject* process_returncode(PyObject* self, void*) {
  auto* p = reinterpret_cast<ProcessObject*>(self);
  auto code = without_gil([&] { return p->process->returncode(); });
  return code ? PyLong_FromLong(*code) : none();
}

PyMethodDef kProcessMethods[] = {
    {"write", cfunc(fastcall<ProcessObject, kWriteSig, process_write>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data, timeout=None)\n--\n\nWrite all of data (bytes-like) to the command's standard input.\n"},
    {"close_stdin", cfunc(noargs<ProcessObject, process_close_stdin>), METH_NOARGS,
     "close_stdin($self)\n--\n\nClose the command's standard input: it reads the end of its input.\n"},
    {"read", cfunc(fastcall<ProcessObject, kReadSig, process_read<Stream::kStdout>>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, buffer=None, timeout=None)\n--\n\nRead up to buffer bytes (default 1024) of standard output; "
     "b\"\" at its end.\n"},
    {"read_err", cfunc(fastcall<ProcessObject, kReadErrSig, process_read<Stream::kStderr>>),
     METH_FASTCALL | METH_KEYWORDS,
     "read_err($self, buffer=None, timeout=None)\n--\n\nRead up to buffer bytes (default 1024) of standard error; "
     "b\"\" at its end.\n"},
    {"fileno", cfunc(noargs<ProcessObject, process_fileno<&CommandProcess::stdout_fd>>), METH_NOARGS,
     "fileno($self)\n--\n\nThe descriptor of the command's standard output, to wait on.\n"},
    {"fileno_err", cfunc(noargs<ProcessObject, process_fileno<&CommandProcess::stderr_fd>>), METH_NOARGS,
     "fileno_err($self)\n--\n\nThe descriptor of the command's standard error, to wait on.\n"},
    {"wait", cfunc(fastcall<ProcessObject, kWaitSig, process_wait>), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\nWait for the command to exit; its status (-N when signal N ended it).\n"},
    {"kill", cfunc(noargs<ProcessObject, process_kill>), METH_NOARGS,
     "kill($self)\n--\n\nKill the command and every process it started, and wake every waiting call.\n"},
    {"close", cfunc(noargs<ProcessObject, process_close>), METH_NOARGS,
     "close($self)\n--\n\nKill the command's tree, reap it and close the pipes.\n"},
    {"usage", cfunc(noargs<ProcessObject, process_usage>), METH_NOARGS,
     "usage($self)\n--\n\nWhat the command used, as a Usage (so far while it runs).\n"},
    {"__enter__", cfunc(noargs<ProcessObject, enter_self<ProcessObject>>), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the process itself for use in a with statement.\n"},
    {"__exit__", cfunc(fastcall<ProcessObject, kExitSig, exit_close<ProcessObject, process_close>>),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nKill and reap the command on leaving a with "
     "statement.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProcessGetSet[] = {
    {"pid", process_pid, nullptr, "The process id of the command.", nullptr},
    {"returncode", process_returncode, nullptr, "The exit status, or None while the command runs.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kProcessSlots[] = {
    {Py_tp_getset, kProcessGetSet},
    {0, nullptr},
};

}  // namespace

PyTypeObject* ProcessObject::make_type() {
  return create_type({
      "PyProcess",
      nullptr,
      "\nA program running as a pool account, without a terminal.\n\nMade by PyUser.start(). Its standard input, "
      "output and error are pipes; kill() and close() end the whole tree of processes it started.\n",
      static_cast<int>(sizeof(ProcessObject)),
      nullptr,
      dealloc_instance<ProcessObject>,
      kProcessMethods,
      kProcessSlots,
  });
}

PyTypeObject* process_type_or_null() { return ProcessObject::type_or_null(); }

PyTypeObject* completed_type() {
  static PyTypeObject* type = PyStructSequence_NewType(&kCompletedDesc);
  return type;
}

bool command_argv(PyObject* command, std::vector<std::string>& argv) {
  if (PyUnicode_Check(command)) {
    const char* s = PyUnicode_AsUTF8(command);
    if (!s) return false;
    argv = {"/bin/bash", "-c", s};
    return true;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(command);  // the binder checked: a list or tuple of str
  argv.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(command, i), &len);
    if (!s) return false;
    argv.emplace_back(s, static_cast<std::size_t>(len));
  }
  return true;
}

PyObject* start_process(const SharedUser& user, const CommandSpec& spec) {
  SharedUser held = user;
  auto started = without_gil([&] { return start_command(std::move(held), spec, /*with_stdin=*/true); });
  if (!started) return raise_start_error(started.error(), spec, home_of(user));
  return new_instance<ProcessObject>(std::move(*started));
}

PyObject* exec_command(const SharedUser& user, const CommandSpec& spec, const Arg& input, const Arg& timeout,
                       const Arg& max_output) {
  const auto deadline = timeout.present ? deadline_after(timeout.seconds) : std::nullopt;
  const std::optional<std::size_t> cap =
      max_output.present ? std::optional<std::size_t>(static_cast<std::size_t>(max_output.number)) : std::nullopt;
  SharedUser held = user;
  std::optional<CommandStartError> start_error;
  auto outcome = without_gil_checking_signals([&](const WaitCheck& check) -> Expected<CommandOutcome, SessionError> {
    auto started = start_command(std::move(held), spec, input.present);
    if (!started) {
      start_error = std::move(started.error());
      return Unexpected(SessionError{});
    }
    // The process dies here, before the interpreter lock comes back: what
    // is left of its tree is killed and the leader reaped.
    return (*started)->run_to_end(input.bytes, cap, WaitLimits{deadline, check});
  });
  if (start_error) return raise_start_error(*start_error, spec, home_of(user));
  if (!outcome) return raise_session_error(outcome.error());
  return new_completed(*outcome);
}

}  // namespace ferrowick::py
