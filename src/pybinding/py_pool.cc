// PyUserPool and PyUser: real host accounts (their sessions are in
// py_session.cc).
//
// Everything here that can block on the host (creating accounts, starting
// su, releasing an account)
// runs with the interpreter lock released, and the native locks it needs are
// taken only inside that region.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/command_launch.h"
#include "pool/pool_admin.h"
#include "pool/launcher.h"
#include "pool/terminal_session.h"
#include "pool/user_pool.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/gil.h"
#include "pybinding/py_cgroup.h"
#include "pybinding/py_ref.h"
#include "pybinding/py_transfer.h"
#include "pybinding/signal_wait.h"

namespace ferrowick::py {

namespace {

struct PoolObject : ScriptClass<PoolObject> {
  PyObject_HEAD
  SharedPool pool;
  pid_t creator;
  std::uint32_t max_user;
  Confinement confinement;

  static constexpr const char* kName = "PyUserPool";
  static PyTypeObject* make_type();
  void init(SharedPool p, std::uint32_t max, Confinement c) {
    new (&pool) SharedPool(std::move(p));
    creator = ::getpid();
    max_user = max;
    confinement = c;
  }
  void fini() { destroy_without_gil(creator, pool, std::move(pool)); }
};

struct UserObject : ScriptClass<UserObject> {
  PyObject_HEAD
  SharedUser user;
  pid_t creator;

  static constexpr const char* kName = "PyUser";
  static PyTypeObject* make_type();
  void init(SharedUser u) {
    new (&user) SharedUser(std::move(u));
    creator = ::getpid();
  }
  // Dropping the last reference releases the account (unless release()
  // did already).
  void fini() { destroy_without_gil(creator, user, std::move(user)); }
};

constexpr std::uint32_t kDefaultPoolSize = 256;

// ---- PyUserPool -------------------------------------------------------------

// user_count, then the keyword-only confinement switches.
constexpr Param kPoolNewParams[] = {{"user_count", ArgKind::OptU32},
                                    {"network", ArgKind::OptFlag, nullptr, nullptr, true},
                                    {"private_tmp", ArgKind::OptFlag, nullptr, nullptr, true},
                                    {"host_processes", ArgKind::OptFlag, nullptr, nullptr, true},
                                    {"setuid_programs", ArgKind::OptFlag, nullptr, nullptr, true}};
constexpr Signature kPoolNewSig{"PyUserPool.__new__()", kPoolNewParams};

PyObject* pool_new(Args& a) {
  auto size = a[0].present ? static_cast<std::uint32_t>(a[0].number) : kDefaultPoolSize;
  Confinement c;
  for (auto [arg, field] : {std::pair{&a[1], &c.network}, std::pair{&a[2], &c.private_tmp},
                            std::pair{&a[3], &c.host_processes}, std::pair{&a[4], &c.setuid_programs}}) {
    if (arg->present) *field = arg->flag;
  }
  return new_instance<PoolObject>(make_user_pool(size, c), size, c);
}

constexpr Param kAllocateParams[] = {{"timeout", ArgKind::OptSeconds}};
constexpr Signature kAllocateSig{"PyUserPool.allocate()", kAllocateParams};

PyObject* allocate(PoolObject& self, Args& a) {
  if (::getpid() != self.creator) {
    // Forked: the accounts of the inherited pool are the parent's. This
    // process gets a pool of its own, which claims accounts of its own; the
    // inherited one is left untouched (its lock may have been held by a
    // thread that does not exist here).
    new SharedPool(std::move(self.pool));
    self.pool = make_user_pool(self.max_user, self.confinement);
    self.creator = ::getpid();
  }
  SharedPool pool = self.pool;
  const bool may_wait = a[0].present;
  const auto deadline = may_wait ? deadline_after(a[0].seconds) : std::nullopt;
  // Host tools are let finish; a signal handler that raised meanwhile ends
  // the call with its exception, and the account goes back to the pool.
  auto user = without_gil_checking_signals([&](const WaitCheck& check) {
    return allocate_user(std::move(pool), may_wait, WaitLimits{deadline, check});
  });
  if (PyErr_Occurred()) {
    if (user) without_gil([&] { SharedUser released = std::move(*user); });
    return nullptr;
  }
  if (!user) {
    const AllocFailure& f = user.error();
    switch (f.kind) {
      case AllocFailure::Kind::kTimedOut: raise_timeout_error(f.message); break;
      case AllocFailure::Kind::kFailed: raise_value_error(f.message); break;
      case AllocFailure::Kind::kInterrupted:
        return raise_panic("a wait was interrupted without an exception");
    }
    return add_note_to_current(f.reason);
  }
  return new_instance<UserObject>(std::move(*user));
}

PyObject* capabilities(PyObject*, PyObject*) {
  try {
    return cgroup_capabilities();
  } catch (...) {
    return raise_current_exception();
  }
}

// For `ferrowick-pool purge`: removes the control groups of pools that are
// gone; returns how many.
PyObject* purge_groups(PyObject*, PyObject*) {
  try {
    return PyLong_FromLong(without_gil([] { return purge_dead_groups(cgroup_host()); }));
  } catch (...) {
    return raise_current_exception();
  }
}

// Housekeeping for the `ferrowick-pool` tool, not part of the pool's API:
// the host's pool accounts as (username, uid, managed, pids, home,
// home_exists) tuples, and the purge of one account.
PyObject* host_accounts(PyObject*, PyObject*) {
  try {
    auto accounts = without_gil([] { return host_pool_accounts(); });
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const HostAccount& a : accounts) {
      PyRef pids = PyRef::steal(PyList_New(0));
      if (!pids) return nullptr;
      for (pid_t pid : a.processes) {
        PyRef n = PyRef::steal(PyLong_FromLong(pid));
        if (!n || PyList_Append(pids.get(), n.get()) < 0) return nullptr;
      }
      PyRef row = PyRef::steal(Py_BuildValue("(s#kOOs#O)", a.username.data(), static_cast<Py_ssize_t>(a.username.size()),
                                             static_cast<unsigned long>(a.uid), a.managed ? Py_True : Py_False,
                                             pids.get(), a.home.data(), static_cast<Py_ssize_t>(a.home.size()),
                                             a.home_exists ? Py_True : Py_False));
      if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
    }
    return list.release();
  } catch (...) {
    return raise_current_exception();
  }
}

constexpr Param kPurgeParams[] = {{"username", ArgKind::Text}};
constexpr Signature kPurgeSig{"PyUserPool._purge()", kPurgeParams};

PyObject* purge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!bind(kPurgeSig, args, nargs, kwnames, a)) return nullptr;
  try {
    std::string name(a[0].text);
    auto done = without_gil([&] { return purge_account(name); });
    return done ? none() : raise_value_error(done.error());
  } catch (...) {
    return raise_current_exception();
  }
}

PyMethodDef kPoolMethods[] = {
    {"allocate", cfunc(fastcall<PoolObject, kAllocateSig, allocate>), METH_FASTCALL | METH_KEYWORDS,
     "allocate($self, timeout=None)\n--\n\n\nAllocate a new user account from the pool.\n\nThis function allocates a new "
     "user account from the pool. The user\naccount can be used to create a new terminal session. The function\nwill "
     "return an error if the user account could not be allocated.\n\nWith timeout (seconds), a full pool is waited on "
     "until an account is\nreleased, and TimeoutError raised when none was in time.\n"},
    {"capabilities", capabilities, METH_NOARGS | METH_STATIC,
     "capabilities()\n--\n\nWhat this host offers for session limits: for \"memory\", \"pids\",\n\"cpu_percent\", "
     "\"usage\" and \"tree_kill\", the mechanism that provides it\n(\"cgroup2\", \"cgroup1\", \"rusage\") or "
     "None.\n"},
    {"_purge_groups", purge_groups, METH_NOARGS | METH_STATIC,
     "_purge_groups()\n--\n\nRemove the control groups of pools that are gone, for the ferrowick-pool tool.\n"},
    {"_host_accounts", host_accounts, METH_NOARGS | METH_STATIC,
     "_host_accounts()\n--\n\nThe host's pool accounts, for the ferrowick-pool tool.\n"},
    {"_purge", cfunc(purge), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_purge(username)\n--\n\nRemove a pool account no live pool manages, for the ferrowick-pool tool.\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- PyUser -------------------------------------------------------------------

}  // namespace

bool account_usable(const SharedUser& user, pid_t creator) {
  if (::getpid() != creator) {
    raise_value_error("The account belongs to the process that allocated it");
    return false;
  }
  const bool released = without_gil([&] { return user->lock()->released(); });
  if (released) {
    raise_value_error("The account was released");
    return false;
  }
  return true;
}

namespace {

template <class F>
auto with_user(UserObject& self, F&& f) {
  return without_gil([&] {
    auto guard = self.user->lock();
    return f(*guard);
  });
}

constexpr Signature kUserExitSig{"PyUser.__exit__()", kExitParams};

constexpr Param kSpawnParams[] = {{"env", ArgKind::OptMapping}, {"limits", ArgKind::OptMapping}};
constexpr Signature kSpawnSig{"PyUser.spawn()", kSpawnParams};

// The (key, value) pairs of a mapping argument; null with an exception set.
PyRef mapping_items(PyObject* mapping) { return PyRef::steal(PyMapping_Items(mapping)); }

// Checks and converts `env`: str names and values, a name neither empty
// nor holding "=", no NUL anywhere.
bool env_entries(PyObject* mapping, std::vector<std::string>& out) {
  PyRef items = mapping_items(mapping);
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
    for (PyObject* o : {key, value}) {
      if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument 'env': names and values must be str, not '%s'", Py_TYPE(o)->tp_name);
        return false;
      }
    }
    Py_ssize_t klen = 0, vlen = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &klen);
    const char* v = k ? PyUnicode_AsUTF8AndSize(value, &vlen) : nullptr;
    if (!v) return false;
    std::string_view name(k, static_cast<std::size_t>(klen)), text(v, static_cast<std::size_t>(vlen));
    if (name.empty()) {
      PyErr_SetString(PyExc_ValueError, "argument 'env': empty variable name");
      return false;
    }
    if (name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos ||
        text.find('\0') != std::string_view::npos) {
      PyErr_Format(PyExc_ValueError, "argument 'env': variable %R: names may not hold '=' or NUL, values not NUL",
                   key);
      return false;
    }
    std::string entry(name);
    entry += '=';
    entry += text;
    out.push_back(std::move(entry));
  }
  return true;
}

// The limits of a session's or a command's whole tree, set on its control
// groups.
constexpr std::pair<const char*, std::optional<std::uint64_t> CgroupLimits::*> kGroupLimitNames[] = {
    {"memory", &CgroupLimits::memory}, {"pids", &CgroupLimits::pids}, {"cpu_percent", &CgroupLimits::cpu_percent}};

// Checks and converts `limits`: known resource names to unsigned integers,
// per process (`rlimits`) or for the whole tree (`group`). A tree-wide limit
// the host cannot set is refused here, before anything starts.
bool limit_entries(PyObject* mapping, std::vector<std::pair<int, rlim_t>>& rlimits, CgroupLimits& group) {
  PyRef items = mapping_items(mapping);
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument 'limits': resource names must be str, not '%s'", Py_TYPE(key)->tp_name);
      return false;
    }
    const char* name = PyUnicode_AsUTF8(key);
    if (!name) return false;
    const LimitName* known = nullptr;
    for (const LimitName& l : kLimitNames)
      if (std::string_view(l.name) == name) known = &l;
    std::optional<std::uint64_t> CgroupLimits::*group_field = nullptr;
    for (const auto& [group_name, field] : kGroupLimitNames)
      if (std::string_view(group_name) == name) group_field = field;
    if (!known && !group_field) {
      PyErr_Format(PyExc_ValueError,
                   "argument 'limits': unknown resource %R (known: nproc, as, cpu, fsize, nofile, memory, pids, "
                   "cpu_percent)",
                   key);
      return false;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
      PyErr_Format(PyExc_TypeError, "argument 'limits': the limit of %R must be int, not '%s'", key,
                   Py_TYPE(value)->tp_name);
      return false;
    }
    // Negative values raise the interpreter's own OverflowError.
    unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (group_field)
      group.*group_field = v;
    else
      rlimits.emplace_back(known->resource, static_cast<rlim_t>(v));
  }
  if (group.any()) {
    const CgroupHost* host = without_gil([] { return &session_cgroup_host(); });
    if (auto refused = check_group_limits(*host, group)) {
      raise_cgroup_error(*refused);
      return false;
    }
  }
  return true;
}

PyObject* spawn(UserObject& self, Args& a) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  SpawnOptions options;
  if (a[0].present) {
    options.env.emplace();
    if (!env_entries(a[0].object, *options.env)) return nullptr;
  }
  if (a[1].present && !limit_entries(a[1].object, options.limits, options.group)) return nullptr;
  const SpawnOptions* chosen = a[0].present || a[1].present ? &options : nullptr;
  SharedUser user = self.user;
  auto session = without_gil([&] { return spawn_terminal(std::move(user), chosen); });
  if (!session) return raise_value_error(session.error());
  return new_terminal_session(std::move(*session));
}

// The launch settings exec and start share with spawn: `cwd`, `env` and
// `limits` in the three slots from `first`.
bool command_spec(Args& a, std::size_t first, CommandSpec& spec) {
  if (a[first].present) spec.cwd.emplace(a[first].text);
  if (a[first + 1].present && !env_entries(a[first + 1].object, spec.env.emplace())) return false;
  return !a[first + 2].present || limit_entries(a[first + 2].object, spec.limits, spec.group);
}

// After `command`, every parameter of exec and start is keyword-only.
constexpr Param keyword(const char* name, ArgKind kind) { return {name, kind, nullptr, nullptr, /*keyword_only=*/true}; }
constexpr Param kExecParams[] = {
    {"command", ArgKind::Argv},           keyword("input", ArgKind::OptBuffer),   keyword("timeout", ArgKind::OptSeconds),
    keyword("cwd", ArgKind::OptText),     keyword("env", ArgKind::OptMapping),    keyword("limits", ArgKind::OptMapping),
    keyword("max_output", ArgKind::OptUWord),
};
constexpr Signature kExecSig{"PyUser.exec()", kExecParams};
constexpr Param kStartParams[] = {{"command", ArgKind::Argv}, keyword("cwd", ArgKind::OptText),
                                  keyword("env", ArgKind::OptMapping), keyword("limits", ArgKind::OptMapping)};
constexpr Signature kStartSig{"PyUser.start()", kStartParams};

PyObject* exec(UserObject& self, Args& a) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  CommandSpec spec;
  if (!command_argv(a[0].object, spec.argv) || !command_spec(a, 3, spec)) return nullptr;
  return exec_command(self.user, spec, a[1], a[2], a[6]);
}

PyObject* start(UserObject& self, Args& a) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  CommandSpec spec;
  if (!command_argv(a[0].object, spec.argv) || !command_spec(a, 1, spec)) return nullptr;
  return start_process(self.user, spec);
}

PyObject* username(UserObject& self) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  return to_str(with_user(self, [](const User& u) { return std::string(u.username()); }));
}
PyObject* uid(UserObject& self) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  return PyLong_FromUnsignedLong(with_user(self, [](const User& u) { return u.uid(); }));
}
PyObject* home(UserObject& self) {
  if (!account_usable(self.user, self.creator)) return nullptr;
  return to_str(with_user(self, [](const User& u) { return std::string(u.home()); }));
}

// Hands the account back now (see release_user); later calls do nothing.
// In a forked process the account is the parent's: ValueError.
PyObject* release(UserObject& self) {
  if (::getpid() != self.creator) return raise_value_error("The account belongs to the process that allocated it");
  SharedUser user = self.user;
  without_gil([&] { release_user(*user); });
  return none();
}

std::string user_str(UserObject& self) {
  return with_user(self, [](const User& u) {
    return "{ username: " + std::string(u.username()) + ", uid: " + std::to_string(u.uid()) +
           ", home: " + std::string(u.home()) + " }";
  });
}

PyMethodDef kUserMethods[] = {
    {"spawn", cfunc(fastcall<UserObject, kSpawnSig, spawn>), METH_FASTCALL | METH_KEYWORDS,
     "spawn($self, env=None, limits=None)\n--\n\n\nSpawn a new terminal session for the user.\n\nThis function "
     "spawns a new terminal session for the user. The terminal\nsession can be used to interact with the terminal. "
     "The function will\nreturn an error if the terminal session could not be spawned.\n\nWith env, a mapping of "
     "str to str, su starts with exactly that\nenvironment instead of this process's; the shell sees it plus what\n"
     "su sets for the account, and PATH=/usr/local/bin:/usr/bin:/bin when\nenv has no PATH. With limits, a mapping "
     "of resource names (nproc, as,\ncpu, fsize, nofile) to int, each is set as soft and hard limit before\nsu starts, "
     "for the whole session.\n"},
    {"put", cfunc(user_put), METH_FASTCALL | METH_KEYWORDS, kUserPutDoc},
    {"get", cfunc(user_get), METH_FASTCALL | METH_KEYWORDS, kUserGetDoc},
    {"release", cfunc(noargs<UserObject, release>), METH_NOARGS,
     "release($self)\n--\n\nRelease the account now: kill its sessions and processes, remove what\nit left behind and "
     "hand it back to the pool. Calling it again does nothing;\nevery other method of this user and of its sessions "
     "raises ValueError\nafterwards.\n"},
    {"__enter__", cfunc(noargs<UserObject, enter_self<UserObject>>), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the user itself for use in a with statement.\n"},
    {"__exit__", cfunc(fastcall<UserObject, kUserExitSig, exit_close<UserObject, release>>),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nRelease the account on leaving a with statement.\n"},
    {"exec", cfunc(fastcall<UserObject, kExecSig, exec>), METH_FASTCALL | METH_KEYWORDS,
     "exec($self, command, *, input=None, timeout=None, cwd=None, env=None, limits=None, max_output=None)\n--\n\n"
     "Run a command as the account without a terminal and return a Completed.\n\ncommand is a str run by "
     "/bin/bash -c, or a list of str executed directly\n(found on the PATH of its environment). It runs in the "
     "account's home\n(or cwd), in a session of its own, with input (bytes-like) or /dev/null as\nstandard input "
     "and a clean environment unless env is given. limits are\nthose of spawn. At the timeout (seconds) every "
     "process of the command is\nkilled and timed_out is set. With max_output, each stream keeps its first\nmax_output // 2 "
     "and last max_output - max_output // 2 bytes, and truncated\nis set.\n"},
    {"start", cfunc(fastcall<UserObject, kStartSig, start>), METH_FASTCALL | METH_KEYWORDS,
     "start($self, command, *, cwd=None, env=None, limits=None)\n--\n\nStart a command as the account without a "
     "terminal and return its PyProcess.\n\nThe launch rules are those of exec; its standard input, output and "
     "error\nare pipes the PyProcess reads and writes.\n"},
    {"username", cfunc(noargs<UserObject, username>), METH_NOARGS,
     "username($self)\n--\n\n\nGet the username of the user.\n"},
    {"uid", cfunc(noargs<UserObject, uid>), METH_NOARGS, "uid($self)\n--\n\n\nGet the UID of the user.\n"},
    {"home", cfunc(noargs<UserObject, home>), METH_NOARGS, "home($self)\n--\n\n\nGet the home folder of the user.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kUserSlots[] = {
    {Py_tp_str, reinterpret_cast<void*>(str_slot<UserObject, user_str>)},
    {0, nullptr},
};

PyTypeObject* PoolObject::make_type() {
  return create_type({
      "PyUserPool",
      "(user_count=None, *, network=True, private_tmp=False, host_processes=True, setuid_programs=True)",
      "\nA class that represents a pool of UNIX users.\n\nThis class represents a pool of UNIX users. The pool can "
      "be used to\ncreate and release user accounts. The pool is thread-safe and can be\nshared between multiple "
      "threads.\n",
      static_cast<int>(sizeof(PoolObject)),
      constructor<kPoolNewSig, pool_new>,
      dealloc_instance<PoolObject>,
      kPoolMethods,
      nullptr,
  });
}
PyTypeObject* UserObject::make_type() {
  return create_type({
      "PyUser",
      nullptr,
      "\nA class that represents a user account in the pool.\n\nThis class represents a user account in the pool. "
      "The user account can\nbe used to create a new terminal session. The user account will be\nreleased back to "
      "the pool when the session is dropped.\n",
      static_cast<int>(sizeof(UserObject)),
      nullptr,
      dealloc_instance<UserObject>,
      kUserMethods,
      kUserSlots,
  });
}
}  // namespace

PyTypeObject* user_pool_type_or_null() { return PoolObject::type_or_null(); }
PyTypeObject* user_type_or_null() { return UserObject::type_or_null(); }
const SharedUser* shared_user_of(PyObject* self) {
  UserObject* obj = checked_self<UserObject>(self);
  // A released or inherited account may be another tenant's by now.
  if (!obj || !account_usable(obj->user, obj->creator)) return nullptr;
  return &obj->user;
}

}  // namespace ferrowick::py
