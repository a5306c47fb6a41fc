// The argument binder: one table-driven routine binds every method's and
// constructor's arguments and produces every binding and conversion error.
//
// A method declares its parameters once:
//   constexpr Param kParams[] = {{"path", ArgKind::Text}, {"mode", ArgKind::Text}};
//   constexpr Signature kSig{"PyFs.open()", kParams};
// and receives converted values:
//   Args a; if (!bind(kSig, args, nargs, kwnames, a)) return nullptr;
//   a[0].text, a[1].text ...
// Every parameter may be given by position or keyword, in declaration order,
// except those marked keyword_only (last); optional parameters (the Opt*
// kinds) come after the required ones, and None means omitted (OptFlag:
// None is refused, as any non-bool).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace ferrowick::py {

enum class ArgKind {
  Text,      // str -> UTF-8
  OptText,   // None/omitted or str
  Bytes,     // bytes only
  Buffer,    // any bytes-like object (buffer protocol, C-contiguous)
  UWord,     // unsigned machine word via __index__
  OptUWord,  // None/omitted or UWord
  OptU32,    // None/omitted or unsigned 32-bit
  OptSeconds,  // None/omitted or a real number >= 0 (a time span); NaN and negatives: ValueError
  Flag,      // True or False only
  OptFlag,   // omitted, or True or False only
  Instance,  // an instance of a class of this module
  Object,    // any object, passed through unconverted
  WritableBuffer,  // an object exporting a buffer; the method acquires it with WritableView
  OptMapping,  // None/omitted or a mapping (has keys()), passed through unconverted
  HostPath,    // str, bytes or os.PathLike -> the path's bytes as os encodes them (no NUL)
  OptBuffer,   // None/omitted or Buffer
  Argv,        // str, or a non-empty list or tuple of str; none holds NUL. Passed through unconverted
};

struct Param {
  const char* name;
  ArgKind kind;
  // For Instance: the class name and a getter for its type object.
  const char* class_name = nullptr;
  PyTypeObject* (*type)() = nullptr;
  // Only by keyword; such parameters come after all the others.
  bool keyword_only = false;
};

// The most parameters a method may declare. A signature with more does not
// compile, so the binder's fixed-size arrays can never be overrun.
inline constexpr std::size_t kMaxParams = 8;

struct Signature {
  template <std::size_t N>
    requires(N <= kMaxParams)
  constexpr Signature(const char* name, const Param (&p)[N]) : full_name(name), params(p) {}
  // A method or constructor without parameters: {"PyFs.__new__()", {}}.
  constexpr Signature(const char* name, std::span<const Param, 0> = {}) : full_name(name) {}

  const char* full_name;  // "PyFs.mkdir()"
  std::span<const Param> params;
};

// A bytes-like argument's buffer, held until the argument goes.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(HeldBuffer&& o) noexcept {
    if (this != &o) {
      release();
      view_ = o.view_;
      held_ = std::exchange(o.held_, false);
    }
    return *this;
  }
  ~HeldBuffer() { release(); }
  // False with an exception set when `obj` offers no contiguous buffer.
  bool acquire(PyObject* obj) {
    release();
    held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  void release() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  Py_buffer view_{};
  bool held_ = false;
};

// One converted argument. `present` is false for an omitted (or None)
// optional one; only the field matching the parameter's kind is set.
struct Arg {
  bool present = false;
  PyObject* object = nullptr;  // borrowed, valid for the call
  std::string_view text;                // Text kinds; HostPath (its bytes)
  std::span<const std::uint8_t> bytes;  // Bytes and Buffer
  std::optional<HeldBuffer> buffer;     // Buffer, HostPath: built only when one is held
  std::uint64_t number = 0;
  double seconds = 0;
  bool flag = false;
};

using Args = std::array<Arg, kMaxParams>;

// The writable, C-contiguous bytes of a WritableBuffer argument, held for
// the length of a call (bytearray, memoryview, array, numpy array, ...).
class WritableView {
 public:
  WritableView() = default;
  WritableView(const WritableView&) = delete;
  WritableView& operator=(const WritableView&) = delete;
  ~WritableView() {
    if (view_.obj) PyBuffer_Release(&view_);
  }
  // False with TypeError "argument '<name>': ..." set when `obj` cannot lend
  // writable contiguous memory (read-only bytes, a strided view).
  bool acquire(const Param& p, PyObject* obj);
  std::span<std::uint8_t> bytes() const {
    return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS); `out` is a fresh Args,
// bound once. False with an exception
// set; a C++ exception met while binding (out of memory, an internal
// assertion failure) is raised as a Python exception too, never thrown.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) noexcept;
// Tuple/dict form used by constructors.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) noexcept;

}  // namespace ferrowick::py
