// The file system's four script classes (PyFs, PyFileHandle, Whence,
// PyTerm): their instance layouts and type getters. The pool's classes are
// laid out in py_pool.cc, py_session.cc and py_process.cc.
//
// Each instance is PyObject_HEAD followed by C++ members that init()
// constructs in place and fini() destroys (see class_support.h).
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/poison_lock.h"
#include "pybinding/class_support.h"
#include "pybinding/listing_cache.h"
#include "fs/file_handle.h"
#include "fs/file_system.h"
#include "pool/user_pool.h"
#include "terminal/simple_terminal.h"

namespace ferrowick {
class TerminalSession;
struct CommandSpec;
class User;
}

namespace ferrowick::py {

struct PyFsObject : ScriptClass<PyFsObject> {
  PyObject_HEAD
  std::shared_ptr<FileSystem> fs;
  ListingCache listings;

  static constexpr const char* kName = "PyFs";
  static PyTypeObject* make_type();
  void init(std::shared_ptr<FileSystem> f) {
    new (&fs) std::shared_ptr<FileSystem>(std::move(f));
    new (&listings) ListingCache();
  }
  void fini() {
    listings.~ListingCache();
    fs.~shared_ptr();
  }
};

struct PyFileHandleObject : ScriptClass<PyFileHandleObject> {
  PyObject_HEAD
  Mutex<std::optional<FileHandle>> handle;

  static constexpr const char* kName = "PyFileHandle";
  static PyTypeObject* make_type();
  void init(FileHandle&& h) { new (&handle) Mutex<std::optional<FileHandle>>(std::in_place, std::move(h)); }
  void fini();
};

struct WhenceObject : ScriptClass<WhenceObject> {
  PyObject_HEAD
  int value;

  static constexpr const char* kName = "Whence";
  static PyTypeObject* make_type();
  void init(int v) { value = v; }
  void fini() {}
};

struct PyTermObject : ScriptClass<PyTermObject> {
  PyObject_HEAD
  Mutex<SimpleTerminal> terminal;

  static constexpr const char* kName = "PyTerm";
  static PyTypeObject* make_type();
  void init(std::shared_ptr<FileSystem> f) { new (&terminal) Mutex<SimpleTerminal>(std::in_place, std::move(f)); }
  void fini() { terminal.~Mutex(); }
};

// Pool classes (py_pool.cc), for registration.
PyTypeObject* user_pool_type_or_null();
PyTypeObject* user_type_or_null();
PyTypeObject* terminal_session_type_or_null();

// False, with ValueError set, when the account behind `user` may no longer
// be used from this process: it was released, or handed out to the process
// this one was forked from (`creator` is the process that made the script
// object). py_pool.cc.
bool account_usable(const SharedUser& user, pid_t creator);

// A new PyTerminalSession owning `session` (py_session.cc); new reference
// or nullptr with an exception set.
PyObject* new_terminal_session(std::unique_ptr<TerminalSession> session);

// Commands without a terminal (py_process.cc). The types of PyProcess and
// of the Completed result (borrowed, or null with an exception); Usage is
// py_cgroup.h's.
PyTypeObject* process_type_or_null();
PyTypeObject* completed_type();
// The argument list of an exec/start `command` the binder accepted (Argv):
// a str runs through /bin/bash -c. False with an exception set.
bool command_argv(PyObject* command, std::vector<std::string>& argv);
// PyUser.start and PyUser.exec once their arguments are converted; a new
// reference, or null with an exception set.
PyObject* start_process(const std::shared_ptr<Mutex<User>>& user, const CommandSpec& spec);
PyObject* exec_command(const std::shared_ptr<Mutex<User>>& user, const CommandSpec& spec, const Arg& input,
                       const Arg& timeout, const Arg& max_output);

}  // namespace ferrowick::py
