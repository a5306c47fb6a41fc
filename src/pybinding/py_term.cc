// PyTerm: the built-in command interpreter over a PyFs's file system.
#include "pybinding/class_support.h"
#include "pybinding/classes.h"

namespace ferrowick::py {

namespace {

using Self = PyTermObject;

constexpr Param kNewParams[] = {{"fs", ArgKind::Instance, "PyFs", &PyFsObject::type}};
constexpr Signature kNewSig{"PyTerm.__new__()", kNewParams};
constexpr Param kExecParams[] = {{"command", ArgKind::Text}};
constexpr Signature kExecSig{"PyTerm.exec()", kExecParams};

PyObject* exec(Self& self, Args& a) {
  CommandResult r = self.terminal.lock()->run(a[0].text);
  if (!r) return raise_value_error(r.error());
  return to_str(*r);
}

PyObject* construct(Args& a) { return new_instance<Self>(reinterpret_cast<PyFsObject*>(a[0].object)->fs); }

PyMethodDef kMethods[] = {
    {"exec", cfunc(fastcall<Self, kExecSig, exec>), METH_FASTCALL | METH_KEYWORDS,
     "exec($self, command)\n--\n\n\nExecute a command in the terminal.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* PyTermObject::make_type() {
  return create_type({
      "PyTerm",
      "(fs)",
      "\nA structure representing a simple terminal\n",
      static_cast<int>(sizeof(Self)),
      constructor<kNewSig, construct>,
      dealloc_instance<Self>,
      kMethods,
      nullptr,
  });
}

}  // namespace ferrowick::py
