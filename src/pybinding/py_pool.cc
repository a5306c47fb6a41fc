// PyUserPool, PyUser and PyTerminalSession: real host accounts and the bash
// sessions that run as them.
//
// Everything here that can block on the host (creating accounts, starting
// su, session reads and writes, killing and reaping, releasing an account)
// runs with the interpreter lock released, and the native locks it needs are
// taken only inside that region.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pool/pool_admin.h"
#include "pool/spawn_options.h"
#include "pool/terminal_session.h"
#include "pool/user_pool.h"
#include "pybinding/class_support.h"
#include "pybinding/gil.h"
#include "pybinding/py_ref.h"

namespace ferrowick::py {

namespace {

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

struct PoolObject : ScriptClass<PoolObject> {
  PyObject_HEAD
  SharedPool pool;
  pid_t creator;

  static constexpr const char* kName = "PyUserPool";
  static PyTypeObject* make_type();
  void init(SharedPool p) {
    new (&pool) SharedPool(std::move(p));
    creator = ::getpid();
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
  // Dropping the last reference releases the account (pkill, back to pool).
  void fini() { destroy_without_gil(creator, user, std::move(user)); }
};

using SessionCell = Mutex<std::unique_ptr<TerminalSession>>;

struct SessionObject : ScriptClass<SessionObject> {
  PyObject_HEAD
  SessionCell session;
  pid_t creator;

  static constexpr const char* kName = "PyTerminalSession";
  static PyTypeObject* make_type();
  void init(std::unique_ptr<TerminalSession> s) {
    new (&session) SessionCell(std::in_place, std::move(s));
    creator = ::getpid();
  }
  // Kills and reaps su, then drops the User reference.
  void fini() { destroy_without_gil(creator, session, std::move(session.unsafe_get())); }
};

// A pipe read never returns more than the pipe holds; 1 MiB is the largest
// capacity a pipe can be given by default, so larger sizes reserve no more.
constexpr std::size_t kMaxReadReserve = std::size_t{1} << 20;
constexpr std::uint32_t kDefaultPoolSize = 256;
constexpr std::size_t kDefaultReadSize = 1024;

// ---- PyUserPool -------------------------------------------------------------

constexpr Param kPoolNewParams[] = {{"user_count", ArgKind::OptU32}};
constexpr Signature kPoolNewSig{"PyUserPool.__new__()", kPoolNewParams};

PyObject* pool_new(Args& a) {
  auto size = a[0].present ? static_cast<std::uint32_t>(a[0].number) : kDefaultPoolSize;
  return new_instance<PoolObject>(make_user_pool(size));
}

PyObject* allocate(PoolObject& self) {
  SharedPool pool = self.pool;
  auto user = without_gil([&] { return alloc_user(std::move(pool)); });
  if (!user) return raise_value_error(user.error());
  return new_instance<UserObject>(std::move(*user));
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
    {"allocate", cfunc(noargs<PoolObject, allocate>), METH_NOARGS,
     "allocate($self)\n--\n\n\nAllocate a new user account from the pool.\n\nThis function allocates a new user "
     "account from the pool. The user\naccount can be used to create a new terminal session. The function\nwill "
     "return an error if the user account could not be allocated.\n"},
    {"_host_accounts", host_accounts, METH_NOARGS | METH_STATIC,
     "_host_accounts()\n--\n\nThe host's pool accounts, for the ferrowick-pool tool.\n"},
    {"_purge", cfunc(purge), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_purge(username)\n--\n\nRemove a pool account no live pool manages, for the ferrowick-pool tool.\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- PyUser -------------------------------------------------------------------

template <class F>
auto with_user(UserObject& self, F&& f) {
  return without_gil([&] {
    auto guard = self.user->lock();
    return f(*guard);
  });
}

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

// Checks and converts `limits`: known resource names to unsigned integers.
bool limit_entries(PyObject* mapping, std::vector<std::pair<int, rlim_t>>& out) {
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
    if (!known) {
      PyErr_Format(PyExc_ValueError, "argument 'limits': unknown resource %R (known: nproc, as, cpu, fsize, nofile)",
                   key);
      return false;
    }
    if (!PyLong_Check(value)) {
      PyErr_Format(PyExc_TypeError, "argument 'limits': the limit of %R must be int, not '%s'", key,
                   Py_TYPE(value)->tp_name);
      return false;
    }
    // Negative values raise the interpreter's own OverflowError.
    unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.emplace_back(known->resource, static_cast<rlim_t>(v));
  }
  return true;
}

PyObject* spawn(UserObject& self, Args& a) {
  SpawnOptions options;
  if (a[0].present) {
    options.env.emplace();
    if (!env_entries(a[0].object, *options.env)) return nullptr;
  }
  if (a[1].present && !limit_entries(a[1].object, options.limits)) return nullptr;
  const SpawnOptions* chosen = a[0].present || a[1].present ? &options : nullptr;
  SharedUser user = self.user;
  auto session = without_gil([&] { return spawn_terminal(std::move(user), chosen); });
  if (!session) return raise_value_error(session.error());
  return new_instance<SessionObject>(std::move(*session));
}

PyObject* username(UserObject& self) {
  return to_str(with_user(self, [](const User& u) { return std::string(u.username()); }));
}
PyObject* uid(UserObject& self) {
  return PyLong_FromUnsignedLong(with_user(self, [](const User& u) { return u.uid(); }));
}
PyObject* home(UserObject& self) {
  return to_str(with_user(self, [](const User& u) { return std::string(u.home()); }));
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
     "str to str, su starts with exactly that\nenvironment instead of this process's. With limits, a mapping of\n"
     "resource names (nproc, as, cpu, fsize, nofile) to int, each is set as\nsoft and hard limit before su starts, "
     "for the whole session.\n"},
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
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(reserve)));
  if (!out) return nullptr;
  std::span<std::uint8_t> area(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), reserve);
  auto n = without_gil([&] {
    auto session = self.session.lock();
    return Stderr ? (*session)->read_stderr(area) : (*session)->read_stdout(area);
  });
  if (!n) return raise_value_error(n.error());
  PyObject* bytes = out.release();
  // Shrinking in place frees the object (and sets MemoryError) if it fails.
  if (*n != reserve && _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(*n)) < 0) return nullptr;
  return bytes;
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

PyTypeObject* PoolObject::make_type() {
  return create_type({
      "PyUserPool",
      "(user_count=None)",
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

PyTypeObject* user_pool_type_or_null() { return PoolObject::type_or_null(); }
PyTypeObject* user_type_or_null() { return UserObject::type_or_null(); }
PyTypeObject* terminal_session_type_or_null() { return SessionObject::type_or_null(); }

}  // namespace ferrowick::py
