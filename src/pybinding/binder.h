// The argument binder: one table-driven routine binds every method's and
// constructor's arguments and produces every binding and conversion error.
//
// A method declares its parameters once:
//   constexpr Param kParams[] = {{"path", ArgKind::Text}, {"mode", ArgKind::Text}};
//   constexpr Signature kSig{"PyFs.open()", kParams};
// and receives converted values:
//   Args a; if (!bind(kSig, args, nargs, kwnames, a)) return nullptr;
//   a[0].text, a[1].text ...
// Every parameter may be given by position or keyword, in declaration order;
// optional parameters (the Opt* kinds) come last, and None means omitted.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace ferrowick::py {

enum class ArgKind {
  Text,      // str -> UTF-8
  OptText,   // None/omitted or str
  Bytes,     // bytes only
  UWord,     // unsigned machine word via __index__
  OptUWord,  // None/omitted or UWord
  OptU32,    // None/omitted or unsigned 32-bit
  Flag,      // True or False only
  Instance,  // an instance of a class of this module
  Object,    // any object, passed through unconverted
  OptMapping,  // None/omitted or a mapping (has keys()), passed through unconverted
};

struct Param {
  const char* name;
  ArgKind kind;
  // For Instance: the class name and a getter for its type object.
  const char* class_name = nullptr;
  PyTypeObject* (*type)() = nullptr;
};

struct Signature {
  const char* full_name;  // "PyFs.mkdir()"
  std::span<const Param> params;
};

// One converted argument. `present` is false for an omitted (or None)
// optional one; only the field matching the parameter's kind is set.
struct Arg {
  bool present = false;
  PyObject* object = nullptr;  // borrowed, valid for the call
  std::string_view text;
  std::span<const std::uint8_t> bytes;
  std::uint64_t number = 0;
  bool flag = false;
};

inline constexpr std::size_t kMaxParams = 4;
using Args = std::array<Arg, kMaxParams>;

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). False with an exception set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
// Tuple/dict form used by constructors.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

}  // namespace ferrowick::py
