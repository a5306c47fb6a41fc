#include "pybinding/binder.h"

#include <limits>
#include <string>
#include <type_traits>

#include "pybinding/errors.h"
#include "pybinding/py_ref.h"

namespace ferrowick::py {

static_assert(!std::is_constructible_v<Signature, const char*, const Param (&)[kMaxParams + 1]>,
              "a signature longer than the binder's arrays must not compile");

namespace {

bool is_optional(ArgKind k) {
  return k == ArgKind::OptText || k == ArgKind::OptUWord || k == ArgKind::OptU32 || k == ArgKind::OptSeconds ||
         k == ArgKind::OptMapping || k == ArgKind::OptFlag || k == ArgKind::OptBuffer;
}

bool none_means_omitted(ArgKind k) { return is_optional(k) && k != ArgKind::OptFlag; }

std::size_t required_count(const Signature& sig) {
  std::size_t n = 0;
  for (const Param& p : sig.params)
    if (!is_optional(p.kind)) ++n;
  return n;
}

// How many parameters may be given by position: those before the first
// keyword-only one.
std::size_t positional_count(const Signature& sig) {
  std::size_t n = 0;
  while (n < sig.params.size() && !sig.params[n].keyword_only) ++n;
  return n;
}

bool fail(const std::string& msg) {
  raise_type_error(msg);
  return false;
}

std::string quoted_list(const Signature& sig, const std::array<bool, kMaxParams>& missing, std::size_t count) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string out;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (!missing[i]) continue;
    if (seen > 0) {
      if (count == 2) out += " and ";
      else out += seen + 1 == count ? ", and " : ", ";
    }
    out += '\'';
    out += sig.params[i].name;
    out += '\'';
    ++seen;
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string msg = sig.full_name;
  std::size_t total = positional_count(sig), req = required_count(sig);
  msg += req == total ? " takes " + std::to_string(total)
                      : " takes from " + std::to_string(req) + " to " + std::to_string(total);
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  return fail(msg);
}

// Keyword arguments in either calling convention: a tuple of names with
// their values (vectorcall), or a dict (tp_new).
struct Keywords {
  PyObject* names = nullptr;
  PyObject* const* values = nullptr;
  PyObject* dict = nullptr;
};

// Binds positional and keyword objects to slots; reports binding errors.
bool bind_slots(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, const Keywords& kw,
                std::array<PyObject*, kMaxParams>& slots) {
  const std::size_t n = sig.params.size();
  if (static_cast<std::size_t>(npos) > positional_count(sig)) return too_many_positional(sig, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) slots[static_cast<std::size_t>(i)] = pos[i];

  auto take_keyword = [&](PyObject* key, PyObject* value) -> bool {
    if (!PyUnicode_Check(key)) return fail(std::string(sig.full_name) + " keywords must be strings");
    Py_ssize_t len = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &len);
    if (!k) return false;
    std::string_view name(k, static_cast<std::size_t>(len));
    for (std::size_t i = 0; i < n; ++i) {
      if (name != sig.params[i].name) continue;
      if (slots[i]) return fail(std::string(sig.full_name) + " got multiple values for argument '" + std::string(name) + "'");
      slots[i] = value;
      return true;
    }
    return fail(std::string(sig.full_name) + " got an unexpected keyword argument '" + std::string(name) + "'");
  };
  if (kw.names) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kw.names); ++i)
      if (!take_keyword(PyTuple_GET_ITEM(kw.names, i), kw.values[i])) return false;
  } else if (kw.dict) {
    PyObject *key, *value;
    Py_ssize_t it = 0;
    while (PyDict_Next(kw.dict, &it, &key, &value))
      if (!take_keyword(key, value)) return false;
  }

  std::array<bool, kMaxParams> missing{};
  std::size_t nmissing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!slots[i] && !is_optional(sig.params[i].kind)) {
      missing[i] = true;
      ++nmissing;
    }
  }
  if (nmissing) {
    std::string msg = std::string(sig.full_name) + " missing " + std::to_string(nmissing) + " required positional " +
                      (nmissing == 1 ? "argument: " : "arguments: ") + quoted_list(sig, missing, nmissing);
    return fail(msg);
  }
  return true;
}

// Rewrites a TypeError in flight as "argument 'NAME': <message>".
bool prefix_type_error(const Param& p) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef text = PyRef::steal(PyObject_Str(PyRef::steal(PyErr_GetRaisedException()).get()));
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", p.name, text.get());
  return false;
}

bool cannot_convert(const Param& p, PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", p.name,
               Py_TYPE(obj)->tp_name, target);
  return false;
}

bool convert_unsigned(const Param& p, PyObject* obj, std::uint64_t max, Arg& out) {
  // A small non-negative int (the usual size or offset) is read inline.
  if (PyLong_CheckExact(obj)) {
    auto* value = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(value)) {
      const Py_ssize_t v = PyUnstable_Long_CompactValue(value);
      if (v >= 0 && static_cast<std::uint64_t>(v) <= max) {
        out.number = static_cast<std::uint64_t>(v);
        return true;
      }
    }
  }
  // An exact int is its own index: no new reference to take and drop.
  PyRef index = PyLong_CheckExact(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
  if (!index) return prefix_type_error(p);
  // Negative values raise the interpreter's own OverflowError.
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(p);
  if (v > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out.number = v;
  return true;
}

// A str without NUL, or a non-empty list or tuple of such str.
bool check_argv(const Param& p, PyObject* obj) {
  auto no_nul = [&](PyObject* s) {
    if (PyUnicode_FindChar(s, 0, 0, PyUnicode_GET_LENGTH(s), 1) == -1) return true;
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", p.name);
    return false;
  };
  if (PyUnicode_Check(obj)) return no_nul(obj);
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) return cannot_convert(p, obj, "str or list of str");
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
  if (n == 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': the argument list is empty", p.name);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd must be str, not '%s'", p.name, i, Py_TYPE(item)->tp_name);
      return false;
    }
    if (!no_nul(item)) return false;
  }
  return true;
}

bool convert(const Param& p, PyObject* obj, Arg& out) {
  out.object = obj;
  switch (p.kind) {
    case ArgKind::Text:
    case ArgKind::OptText: {
      if (!PyUnicode_Check(obj)) return cannot_convert(p, obj, "PyString");
      // An ASCII string is its own UTF-8: read it in place, no call needed.
      if (PyUnicode_IS_COMPACT_ASCII(obj)) {
        out.text = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
        return true;
      }
      Py_ssize_t len = 0;
      const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
      if (!s) return prefix_type_error(p);
      out.text = std::string_view(s, static_cast<std::size_t>(len));
      return true;
    }
    case ArgKind::Bytes: {
      if (!PyBytes_Check(obj)) return cannot_convert(p, obj, "PyBytes");
      out.bytes = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
      return true;
    }
    case ArgKind::HostPath: {
      // The bytes os.open would use; the held buffer keeps them alive.
      PyObject* encoded = nullptr;
      if (!PyUnicode_FSConverter(obj, &encoded)) return prefix_type_error(p);
      PyRef owned = PyRef::steal(encoded);
      if (!out.buffer.emplace().acquire(encoded)) return false;
      const auto bytes = out.buffer->bytes();
      out.text = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return true;
    }
    case ArgKind::Buffer:
    case ArgKind::OptBuffer:
      if (!out.buffer.emplace().acquire(obj)) return prefix_type_error(p);
      out.bytes = out.buffer->bytes();
      return true;
    case ArgKind::UWord:
    case ArgKind::OptUWord:
      return convert_unsigned(p, obj, std::numeric_limits<std::size_t>::max(), out);
    case ArgKind::OptU32:
      return convert_unsigned(p, obj, std::numeric_limits<std::uint32_t>::max(), out);
    case ArgKind::OptSeconds: {
      double v = PyFloat_AsDouble(obj);  // int, float, or anything with __float__ / __index__
      if (v == -1.0 && PyErr_Occurred()) return prefix_type_error(p);
      if (!(v >= 0)) {
        PyErr_Format(PyExc_ValueError, "argument '%s': must be a non-negative number of seconds", p.name);
        return false;
      }
      out.seconds = v;
      return true;
    }
    case ArgKind::Flag:
    case ArgKind::OptFlag:
      if (obj != Py_True && obj != Py_False) return cannot_convert(p, obj, "PyBool");
      out.flag = obj == Py_True;
      return true;
    case ArgKind::Instance:
      if (!PyObject_TypeCheck(obj, p.type())) return cannot_convert(p, obj, p.class_name);
      return true;
    case ArgKind::Object:
      return true;
    case ArgKind::WritableBuffer:
      if (!PyObject_CheckBuffer(obj)) return cannot_convert(p, obj, "WritableBuffer");
      return true;
    case ArgKind::OptMapping:
      if (PyDict_Check(obj) || PyObject_HasAttrString(obj, "keys")) return true;
      return cannot_convert(p, obj, "Mapping");
    case ArgKind::Argv:
      return check_argv(p, obj);
  }
  return true;
}

// `out` is fresh: every Arg is as default-constructed.
bool convert_all(const Signature& sig, PyObject* const* slots, Args& out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    PyObject* obj = slots[i];
    if (!obj || (obj == Py_None && none_means_omitted(sig.params[i].kind))) continue;
    out[i].present = true;
    if (!convert(sig.params[i], obj, out[i])) return false;
  }
  return true;
}

// Error messages allocate, and an Instance parameter may create its type on
// first use: either can throw, and nothing may be thrown to the interpreter.
bool bind_and_convert(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, const Keywords& kw,
                      Args& out) noexcept {
  try {
    // Every parameter given by position and no keyword: nothing can fail to
    // bind, so the objects go straight to conversion (same order, same errors).
    const bool no_keywords = !(kw.names && PyTuple_GET_SIZE(kw.names)) && !(kw.dict && PyDict_GET_SIZE(kw.dict));
    if (no_keywords && static_cast<std::size_t>(npos) == sig.params.size() && positional_count(sig) == sig.params.size())
      return convert_all(sig, pos, out);
    std::array<PyObject*, kMaxParams> slots{};
    return bind_slots(sig, pos, npos, kw, slots) && convert_all(sig, slots.data(), out);
  } catch (...) {
    raise_current_exception();
    return false;
  }
}

}  // namespace

bool WritableView::acquire(const Param& p, PyObject* obj) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE) == 0) return true;
  view_.obj = nullptr;
  // The interpreter reports a read-only or strided export as BufferError;
  // for the caller it is an argument of the wrong kind.
  if (PyErr_ExceptionMatches(PyExc_BufferError)) {
    PyErr_Clear();
    return cannot_convert(p, obj, "WritableBuffer");
  }
  return prefix_type_error(p);
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) noexcept {
  const Py_ssize_t npos = PyVectorcall_NARGS(nargs);
  return bind_and_convert(sig, args, npos, Keywords{kwnames, args + npos, nullptr}, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) noexcept {
  return bind_and_convert(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                          Keywords{nullptr, nullptr, kwargs}, out);
}

}  // namespace ferrowick::py
