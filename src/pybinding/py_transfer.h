// Trees between a PyFs, host directories and account homes: PyFs.copy_in,
// PyFs.copy_out, PyUser.put and PyUser.get. The method tables of py_fs.cc
// and py_pool.cc list these; everything else about them is in
// py_transfer.cc.
#pragma once

#include <Python.h>

#include "pool/user_pool.h"

namespace ferrowick::py {

// METH_FASTCALL | METH_KEYWORDS methods and their documentation strings.
PyObject* fs_copy_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* fs_copy_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* user_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* user_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
extern const char kFsCopyInDoc[];
extern const char kFsCopyOutDoc[];
extern const char kUserPutDoc[];
extern const char kUserGetDoc[];

// The account a PyUser holds (py_pool.cc); null with TypeError set when
// `self` is not a PyUser, with ValueError when the account was released or
// belongs to the process this one was forked from.
const SharedUser* shared_user_of(PyObject* self);

}  // namespace ferrowick::py
