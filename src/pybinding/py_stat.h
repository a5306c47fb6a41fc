// StatResult: what PyFs.stat returns, a struct sequence (kind, size, ino)
// that also unpacks as a 3-tuple, with the named fields mtime_ns and
// birthtime_ns beyond it. Not one of the registered classes: it is a
// module attribute for isinstance checks, but not listed in __all__.
#pragma once

#include <Python.h>

#include "fs/file_system.h"

namespace ferrowick::py {

// The type, made once per process (borrowed reference, or null with an
// exception set).
PyTypeObject* stat_result_type();
// A new StatResult for `st`, or null with an exception set.
PyObject* new_stat_result(const EntryStat& st);

}  // namespace ferrowick::py
