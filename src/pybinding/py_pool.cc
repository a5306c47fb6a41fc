// PyUserPool and PyUser: real host accounts (their sessions are in
// py_session.cc).
//
// Everything here that can block on the host (creating accounts, starting
// su, releasing an account)
// runs with the interpreter lock released, and the native locks it needs are
// taken only inside that region.
#include <algorithm>
#include <memory>
#include <string>

#include "pool/terminal_session.h"
#include "pool/user_pool.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/gil.h"
#include "pybinding/signal_wait.h"

namespace ferrowick::py {

namespace {

struct PoolObject : ScriptClass<PoolObject> {
  PyObject_HEAD
  SharedPool pool;

  static constexpr const char* kName = "PyUserPool";
  static PyTypeObject* make_type();
  void init(SharedPool p) { new (&pool) SharedPool(std::move(p)); }
  void fini() { destroy_without_gil(pool, std::move(pool)); }
};

struct UserObject : ScriptClass<UserObject> {
  PyObject_HEAD
  SharedUser user;

  static constexpr const char* kName = "PyUser";
  static PyTypeObject* make_type();
  void init(SharedUser u) { new (&user) SharedUser(std::move(u)); }
  // Dropping the last reference releases the account (pkill, back to pool).
  void fini() { destroy_without_gil(user, std::move(user)); }
};

constexpr std::uint32_t kDefaultPoolSize = 256;

// ---- PyUserPool -------------------------------------------------------------

constexpr Param kPoolNewParams[] = {{"user_count", ArgKind::OptU32}};
constexpr Signature kPoolNewSig{"PyUserPool.__new__()", kPoolNewParams};

PyObject* pool_new(Args& a) {
  auto size = a[0].present ? static_cast<std::uint32_t>(a[0].number) : kDefaultPoolSize;
  return new_instance<PoolObject>(make_user_pool(size));
}

PyObject* allocate(PoolObject& self) {
  SharedPool pool = self.pool;
  // Host tools are let finish; a signal handler that raised meanwhile ends
  // the call with its exception, and the account goes back to the pool.
  auto user = without_gil_running_signal_handlers([&] { return alloc_user(std::move(pool)); });
  if (PyErr_Occurred()) {
    if (user) without_gil([&] { SharedUser released = std::move(*user); });
    return nullptr;
  }
  if (!user) return raise_value_error(user.error());
  return new_instance<UserObject>(std::move(*user));
}

PyMethodDef kPoolMethods[] = {
    {"allocate", cfunc(noargs<PoolObject, allocate>), METH_NOARGS,
     "allocate($self)\n--\n\n\nAllocate a new user account from the pool.\n\nThis function allocates a new user "
     "account from the pool. The user\naccount can be used to create a new terminal session. The function\nwill "
     "return an error if the user account could not be allocated.\n"},
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

PyObject* spawn(UserObject& self) {
  SharedUser user = self.user;
  auto session = without_gil([&] { return spawn_terminal(std::move(user)); });
  if (!session) return raise_value_error(session.error());
  return new_terminal_session(std::move(*session));
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
    {"spawn", cfunc(noargs<UserObject, spawn>), METH_NOARGS,
     "spawn($self)\n--\n\n\nSpawn a new terminal session for the user.\n\nThis function spawns a new terminal "
     "session for the user. The terminal\nsession can be used to interact with the terminal. The function "
     "will\nreturn an error if the terminal session could not be spawned.\n"},
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
}  // namespace

PyTypeObject* user_pool_type_or_null() { return PoolObject::type_or_null(); }
PyTypeObject* user_type_or_null() { return UserObject::type_or_null(); }

}  // namespace ferrowick::py
