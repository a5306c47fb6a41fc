// What a script sees of the pool's control groups: Usage, the struct
// sequence session.usage() returns (a module attribute for isinstance
// checks, not in __all__), and the dict of PyUserPool.capabilities().
#pragma once

#include <Python.h>

#include "pool/cgroup_io.h"
#include "pool/session_group.h"

namespace ferrowick::py {

// The type, made once per process (borrowed reference, or null with an
// exception set).
PyTypeObject* usage_type();
// A new Usage for `u`, or null with an exception set.
PyObject* new_usage(const CgroupUsage& u);

// {"memory", "pids", "cpu_percent", "usage", "tree_kill"} -> "cgroup2",
// "cgroup1", "rusage" (usage only) or None, for this host. Detects the host
// on the first call, without the interpreter lock.
PyObject* cgroup_capabilities();

// Raises what a refused group request means to a script: OSError naming
// the key and the reason when the host cannot do it, ValueError for a value
// out of range or a failure. Returns null.
PyObject* raise_cgroup_error(const CgroupError& e);

}  // namespace ferrowick::py
