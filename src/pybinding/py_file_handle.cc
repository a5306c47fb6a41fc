// PyFileHandle (an open file of a PyFs) and Whence (the seek origins).
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <string>

#include "pybinding/class_support.h"
#include "pybinding/classes.h"

namespace ferrowick::py {

namespace {

using Self = PyFileHandleObject;

constexpr Param kReadParams[] = {{"buffer", ArgKind::UWord}};
constexpr Signature kReadSig{"PyFileHandle.read()", kReadParams};
constexpr Param kWriteParams[] = {{"buffer", ArgKind::Bytes}};
constexpr Signature kWriteSig{"PyFileHandle.write()", kWriteParams};
constexpr Param kSeekParams[] = {
    {"offset", ArgKind::UWord}, {"whence", ArgKind::Instance, "Whence", &WhenceObject::type}};
constexpr Signature kSeekSig{"PyFileHandle.seek()", kSeekParams};

const IoError kClosed{IoError::Kind::InvalidFileDescriptor};

// The per-read notice goes to file descriptor 1 itself, not sys.stdout,
// one write(2) per read and unbuffered.
void announce_read(std::size_t n) {
  static constexpr std::string_view kHead = "Read ", kTail = " bytes from file\n";
  char line[64];
  std::memcpy(line, kHead.data(), kHead.size());
  char* p = std::to_chars(line + kHead.size(), line + sizeof line - kTail.size(), n).ptr;
  std::memcpy(p, kTail.data(), kTail.size());
  const char* out = line;
  std::size_t len = static_cast<std::size_t>(p - line) + kTail.size();
  while (len > 0) {
    ssize_t w = ::write(STDOUT_FILENO, out, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    out += w;
    len -= static_cast<std::size_t>(w);
  }
}

PyObject* id(Self& self) {
  auto h = self.handle.lock();
  if (!h->has_value() || !(*h)->id()) return raise_io_error(kClosed);
  return PyLong_FromUnsignedLongLong(*(*h)->id());
}

PyObject* close(Self& self) {
  auto h = self.handle.lock();
  auto r = (*h)->close();
  return r ? none() : raise_io_error(r.error());
}

// Leaving a `with` block closes the handle unless it is closed already.
PyObject* close_if_open(Self& self) {
  auto h = self.handle.lock();
  if (!(*h)->id()) return none();
  auto r = (*h)->close();
  return r ? none() : raise_io_error(r.error());
}

constexpr Signature kExitSig{"PyFileHandle.__exit__()", kExitParams};

PyObject* read(Self& self, Args& a) {
  // Only what the file can still return is reserved, so any size works.
  PyRef result;
  Expected<std::size_t, IoError> n = std::size_t{0};
  {
    auto h = self.handle.lock();
    n = (*h)->read_into(static_cast<std::size_t>(a[0].number), [&](std::size_t size) -> std::uint8_t* {
      // A null destination abandons the read untouched (MemoryError is set).
      result = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
      return result ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get())) : nullptr;
    });
  }
  if (!n) return raise_io_error(n.error());
  if (!result) return nullptr;
  announce_read(*n);
  return result.release();
}

PyObject* write(Self& self, Args& a) {
  auto h = self.handle.lock();
  auto n = (*h)->write(a[0].bytes);
  if (!n) return raise_io_error(n.error());
  return PyLong_FromSize_t(*n);
}

PyObject* seek(Self& self, Args& a) {
  static constexpr SeekOrigin kOrigins[] = {SeekOrigin::Start, SeekOrigin::Current, SeekOrigin::End};
  SeekOrigin origin = kOrigins[reinterpret_cast<WhenceObject*>(a[1].object)->value];
  auto h = self.handle.lock();
  auto r = (*h)->seek(origin, a[0].number);
  return r ? none() : raise_io_error(r.error());
}

PyObject* tell(Self& self) {
  auto h = self.handle.lock();
  if (!(*h)->id()) return raise_io_error(kClosed);
  return PyLong_FromSize_t((*h)->offset());
}

constexpr Param kReadintoParams[] = {{"buffer", ArgKind::WritableBuffer}};
constexpr Signature kReadintoSig{"PyFileHandle.readinto()", kReadintoParams};
constexpr Param kTruncateParams[] = {{"size", ArgKind::UWord}};
constexpr Signature kTruncateSig{"PyFileHandle.truncate()", kTruncateParams};

// Like read, straight into the caller's memory, and without the report line.
PyObject* readinto(Self& self, Args& a) {
  WritableView view;
  if (!view.acquire(kReadintoParams[0], a[0].object)) return nullptr;
  auto h = self.handle.lock();
  auto n = (*h)->read(view.bytes());
  if (!n) return raise_io_error(n.error());
  return PyLong_FromSize_t(*n);
}

// The rest of the file in one bytes object sized by the read itself (one
// allocation, one copy), without the report line.
PyObject* readall(Self& self) {
  NewBytes out;
  auto n = (*self.handle.lock())->read_into(SIZE_MAX, out);
  if (!n) return raise_io_error(n.error());
  return out.result.release();  // null with MemoryError set when the bytes could not be made
}

PyObject* truncate(Self& self, Args& a) {
  auto h = self.handle.lock();
  auto r = (*h)->truncate(a[0].number);
  return r ? none() : raise_io_error(r.error());
}

std::string render(Self& self) { return (*self.handle.lock())->render(); }

PyMethodDef kMethods[] = {
    {"id", cfunc(noargs<Self, id>), METH_NOARGS,
     "id($self)\n--\n\n\nReturns a string representation of the file handle.\n"},
    {"close", cfunc(noargs<Self, close>), METH_NOARGS,
     "close($self)\n--\n\n\nClose the file handle.\n\nNotice that the pyobject still holds a reference to the file "
     "handle. However\nany subsequent read or write operation will fail.\n\nSmall Note on garbage collection: The "
     "file handle will internally be closed\nHOWEVER it will still keep the file system and inode alive. Until the "
     "file\nhandle is dropped.\n"},
    {"read", cfunc(fastcall<Self, kReadSig, read>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, buffer)\n--\n\n\nRead data from the file handle.\n\nThis function reads data from the file "
     "handle. The function will return a\nbyte array with the data that was read from the file. The function "
     "will\nreturn an error if the read operation failed.\n"},
    {"write", cfunc(fastcall<Self, kWriteSig, write>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, buffer)\n--\n\n\nWrite data to the file handle.\n\nThis function writes data to the file "
     "handle. The function will return the\nnumber of bytes that were written to the file. The function will "
     "return an\nerror if the write operation failed.\n"},
    {"seek", cfunc(fastcall<Self, kSeekSig, seek>), METH_FASTCALL | METH_KEYWORDS,
     "seek($self, offset, whence)\n--\n\n\nSeek a certain position in the file.\n\nThis function seeks a certain "
     "position in the file. The function will return\nthe new position in the file. The function will return an "
     "error if the seek\noperation failed.\n"},
    {"tell", cfunc(noargs<Self, tell>), METH_NOARGS,
     "tell($self)\n--\n\n\nTell the current position in the file.\n\nThis function returns the current position "
     "in the file. The function will\nreturn an error if the tell operation failed.\n"},
    {"readinto", cfunc(fastcall<Self, kReadintoSig, readinto>), METH_FASTCALL | METH_KEYWORDS,
     "readinto($self, buffer)\n--\n\nRead into a writable buffer (bytearray, memoryview, array, ...) from the "
     "current\nposition, moving past what was read; returns the count, 0 at the end of the file.\nWrites no report "
     "line.\n"},
    {"readall", cfunc(noargs<Self, readall>), METH_NOARGS,
     "readall($self)\n--\n\nRead from the current position to the end of the file into one bytes object,\nmoving "
     "the position to the end. Writes no report line.\n"},
    {"truncate", cfunc(fastcall<Self, kTruncateSig, truncate>), METH_FASTCALL | METH_KEYWORDS,
     "truncate($self, size)\n--\n\nSet the file's length to size bytes, zero-filling when it grows. The "
     "position stays,\nor moves back to the new end. Needs a handle opened for writing.\n"},
    {"__enter__", cfunc(noargs<Self, enter_self<Self>>), METH_NOARGS,
     "__enter__($self)\n--\n\nReturn the handle itself for use in a with statement.\n"},
    {"__exit__", cfunc(fastcall<Self, kExitSig, exit_close<Self, close_if_open>>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the handle (if still open) on leaving a with "
     "statement.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_str, reinterpret_cast<void*>(str_slot<Self, render>)},
    {0, nullptr},
};

// ---- Whence ---------------------------------------------------------------

constexpr const char* kWhenceNames[] = {"Whence.SEEK_SET", "Whence.SEEK_CUR", "Whence.SEEK_END"};

PyObject* whence_repr(PyObject* self) { return PyUnicode_FromString(kWhenceNames[reinterpret_cast<WhenceObject*>(self)->value]); }

PyObject* whence_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<WhenceObject*>(self)->value); }

PyObject* whence_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return PyRef::borrow(Py_NotImplemented).release();
  const long mine = reinterpret_cast<WhenceObject*>(self)->value;
  bool equal;
  PyRef index = PyRef::steal(PyIndex_Check(other) ? PyNumber_Index(other) : nullptr);
  if (!index && PyErr_Occurred()) {
    // An __index__ that raises or returns no int means `other` is not an
    // integer: it is compared as anything else. Only an interruption
    // (KeyboardInterrupt, SystemExit) is let through.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
  }
  if (index) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    equal = overflow == 0 && v == mine;
  } else if (Py_IS_TYPE(other, Py_TYPE(self))) {  // Whence has no subclasses
    equal = reinterpret_cast<WhenceObject*>(other)->value == mine;
  } else {
    return PyRef::borrow(Py_NotImplemented).release();
  }
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyType_Slot kWhenceSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(whence_repr)},
    {Py_tp_str, reinterpret_cast<void*>(whence_repr)},
    {Py_nb_int, reinterpret_cast<void*>(whence_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(whence_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

}  // namespace

void PyFileHandleObject::fini() {
  // A handle still open is closed here; a failure goes to the unraisable hook.
  handle.~Mutex();
}

PyTypeObject* PyFileHandleObject::make_type() {
  return create_type({
      "PyFileHandle",
      nullptr,
      "\nA simple wrapper around the FileHandle struct.\n\nThis class is a simple wrapper around the FileHandle "
      "struct. It defines\nthe basis for a file handle that can be used in Python. The file handle\ncan be used to "
      "read and write data to a file.\n\nA file handle is always associated with a filesystem and an inode. "
      "The\nfile handle can be used to read and write data to the file.\n",
      static_cast<int>(sizeof(Self)),
      nullptr,
      dealloc_instance<Self>,
      kMethods,
      kSlots,
  });
}

PyTypeObject* WhenceObject::make_type() {
  PyTypeObject* tp = create_type({
      "Whence",
      nullptr,
      "\nA small enumeration to determine the whence\nwhen seeking in a file.\n",
      static_cast<int>(sizeof(WhenceObject)),
      nullptr,
      dealloc_instance<WhenceObject>,
      nullptr,
      kWhenceSlots,
  });
  if (!tp) return nullptr;
  // The three members are made once and stored on the (immutable) type.
  static constexpr const char* kAttrs[] = {"SEEK_SET", "SEEK_CUR", "SEEK_END"};
  for (int v = 0; v < 3; ++v) {
    PyRef member = PyRef::steal(tp->tp_alloc(tp, 0));
    if (!member) return nullptr;
    reinterpret_cast<WhenceObject*>(member.get())->init(v);
    if (PyDict_SetItemString(tp->tp_dict, kAttrs[v], member.get()) < 0) return nullptr;
  }
  PyType_Modified(tp);
  return tp;
}

}  // namespace ferrowick::py
