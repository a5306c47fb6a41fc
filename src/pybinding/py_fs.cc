// PyFs: a virtual file system, worked on by path.
#include <cstdint>
#include <string>

#include "common/prefault.h"
#include "fs/snapshot_codec.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/py_stat.h"
#include "pybinding/py_transfer.h"

namespace ferrowick::py {

namespace {

using Self = PyFsObject;

PyObject* unit_result(const Expected<void, IoError>& r) { return r ? none() : raise_io_error(r.error()); }

constexpr Param kPathParam[] = {{"path", ArgKind::Text}};
constexpr Signature kMkdirSig{"PyFs.mkdir()", kPathParam};
constexpr Signature kTouchSig{"PyFs.touch()", kPathParam};
constexpr Signature kListdirSig{"PyFs.listdir()", kPathParam};
constexpr Param kOpenParams[] = {{"path", ArgKind::Text}, {"mode", ArgKind::Text}};
constexpr Signature kOpenSig{"PyFs.open()", kOpenParams};
constexpr Param kRemoveParams[] = {{"path", ArgKind::Text}, {"recurse", ArgKind::Flag}};
constexpr Signature kRemoveSig{"PyFs.remove()", kRemoveParams};
constexpr Param kTreeParams[] = {{"path", ArgKind::Text}, {"ident", ArgKind::OptText}};
constexpr Signature kTreeSig{"PyFs.tree()", kTreeParams};
constexpr Signature kNewSig{"PyFs.__new__()", {}};
constexpr Param kFromSnapshotParams[] = {{"data", ArgKind::Buffer}};
constexpr Signature kFromSnapshotSig{"PyFs.from_snapshot()", kFromSnapshotParams};
constexpr Param kDeepcopyParams[] = {{"memo", ArgKind::Object}};
constexpr Signature kDeepcopySig{"PyFs.__deepcopy__()", kDeepcopyParams};

PyObject* mkdir(Self& self, Args& a) { return unit_result(self.fs->mkdir(a[0].text)); }
PyObject* touch(Self& self, Args& a) { return unit_result(self.fs->touch(a[0].text)); }

PyObject* open(Self& self, Args& a) {
  auto mode = file_handle_type_from_str(a[1].text);
  if (!mode) return raise_io_error(mode.error());
  auto handle = FileSystem::open(self.fs, a[0].text, *mode, /*create=*/true);
  if (!handle) return raise_io_error(handle.error());
  return new_instance<PyFileHandleObject>(std::move(*handle));
}

PyObject* listdir(Self& self, Args& a) { return self.listings.listdir(*self.fs, a[0].text); }

PyObject* remove(Self& self, Args& a) { return unit_result(self.fs->rm(a[0].text, a[1].flag)); }

constexpr Param kRenameParams[] = {{"src", ArgKind::Text}, {"dst", ArgKind::Text}};
constexpr Signature kRenameSig{"PyFs.rename()", kRenameParams};

PyObject* rename(Self& self, Args& a) { return unit_result(self.fs->rename(a[0].text, a[1].text)); }

// Directories first, each followed by its contents, then the other entries;
// every line carries the prefix; each level adds two blanks.
Expected<void, IoError> render_tree(const FileSystem& fs, const std::string& path, const std::string& ident,
                                    std::string& out) {
  auto id = fs.get_inode_by_path_raw(path);
  if (!id) return Unexpected(id.error());
  auto listing = fs.ls_raw(*id);
  if (!listing) return Unexpected(listing.error());
  const std::string child_ident = ident + "  ";
  for (const std::string& d : listing->directories) {
    out += ident;
    out += d;
    out += "/\n";
    auto r = render_tree(fs, path + "/" + d, child_ident, out);
    if (!r) return r;
  }
  for (const std::string& f : listing->files) {
    out += ident;
    out += f;
    out += '\n';
  }
  return {};
}

PyObject* tree(Self& self, Args& a) {
  std::string out;
  auto r = render_tree(*self.fs, std::string(a[0].text), std::string(a[1].present ? a[1].text : ""), out);
  if (!r) return raise_io_error(r.error());
  return to_str(out);
}

constexpr Signature kExistsSig{"PyFs.exists()", kPathParam};
constexpr Signature kStatSig{"PyFs.stat()", kPathParam};

PyObject* exists(Self& self, Args& a) { return PyBool_FromLong(self.fs->exists(a[0].text)); }

PyObject* stat(Self& self, Args& a) {
  auto st = self.fs->stat(a[0].text);
  if (!st) return raise_io_error(st.error());
  return new_stat_result(*st);
}

constexpr Param kReadBytesParams[] = {
    {"path", ArgKind::Text}, {"start", ArgKind::OptUWord}, {"end", ArgKind::OptUWord}};
constexpr Signature kReadBytesSig{"PyFs.read_bytes()", kReadBytesParams};

// A file's bytes [start, end), clamped to the file, in one call: opens for
// reading without creating, reads straight into the result, closes.
PyObject* read_bytes(Self& self, Args& a) {
  auto handle = FileSystem::open(self.fs, a[0].text, FileHandleType::READ, /*create=*/false);
  if (!handle) return raise_io_error(handle.error());
  const std::uint64_t start = a[1].present ? a[1].number : 0;
  const std::uint64_t end = a[2].present ? a[2].number : UINT64_MAX;
  auto sought = handle->seek(SeekOrigin::Start, start);
  if (!sought) return raise_io_error(sought.error());
  NewBytes out;
  auto n = handle->read_into(end > start ? end - start : 0, out);
  auto closed = handle->close();
  if (!n) return raise_io_error(n.error());
  if (!closed) return raise_io_error(closed.error());
  return out.result.release();  // null with MemoryError set when the bytes could not be made
}

std::string render(Self& self) { return self.fs->render(); }

PyObject* clone(Self& self) { return new_instance<Self>(self.fs->clone()); }
PyObject* deepcopy(Self& self, Args&) { return clone(self); }

PyObject* snapshot(Self& self) {
  // A clone is consistent and private, so its image needs no locks and the
  // encoding can go straight into the bytes object.
  const std::shared_ptr<FileSystem> copy = self.fs->clone();
  const SnapshotImage image = copy->snapshot_image();
  auto size = encoded_snapshot_size(image);
  if (!size) return raise_snapshot_error(size.error());
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
  if (!out) return nullptr;
  prefault(PyBytes_AS_STRING(out.get()), *size);
  encode_snapshot_into(image, {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), *size});
  return out.release();
}

PyObject* from_snapshot(Args& a) {
  auto image = decode_snapshot(a[0].bytes);
  if (!image) return raise_snapshot_error(image.error());
  return new_instance<Self>(FileSystem::restore(*image));
}

// pickle: PyFs.from_snapshot(self.snapshot()).
PyObject* reduce(Self& self) {
  PyRef data = PyRef::steal(snapshot(self));
  if (!data) return nullptr;
  PyRef rebuild = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Self::type()), "from_snapshot"));
  if (!rebuild) return nullptr;
  return Py_BuildValue("(O(O))", rebuild.get(), data.get());
}

PyObject* construct(Args&) { return new_instance<Self>(FileSystem::create()); }

PyMethodDef kMethods[] = {
    {"mkdir", cfunc(fastcall<Self, kMkdirSig, mkdir>),
     METH_FASTCALL | METH_KEYWORDS,
     "mkdir($self, path)\n--\n\n\nCreate a new directory in the filesystem.\n\nThis function creates a new directory "
     "in the filesystem. The function will\nreturn an error if the directory could not be created.\n"},
    {"touch", cfunc(fastcall<Self, kTouchSig, touch>),
     METH_FASTCALL | METH_KEYWORDS,
     "touch($self, path)\n--\n\n\nCreate a new file in the filesystem.\n\nThis function creates a new file in the "
     "filesystem. The function will return\nan error if the file could not be created.\n"},
    {"open", cfunc(fastcall<Self, kOpenSig, open>),
     METH_FASTCALL | METH_KEYWORDS,
     "open($self, path, mode)\n--\n\n\nOpen a file in the filesystem.\n\nThis function opens a file in the "
     "filesystem. The function will return a file\nhandle that can be used to read and write data to the file. "
     "The function will\nreturn an error if the file could not be opened.\n"},
    {"listdir", cfunc(fastcall<Self, kListdirSig, listdir>),
     METH_FASTCALL | METH_KEYWORDS,
     "listdir($self, path)\n--\n\n\nList the contents of a directory.\n\nThis function lists the contents of a "
     "directory. The function will return a\nlist of strings with the names of the files and directories in the "
     "directory.\nThe function will return an error if the directory could not be listed.\n"},
    {"remove", cfunc(fastcall<Self, kRemoveSig, remove>),
     METH_FASTCALL | METH_KEYWORDS, "remove(recurse=False)\n--\n\n\nRemove a file from the filesystem.\n"},
    {"rename", cfunc(fastcall<Self, kRenameSig, rename>), METH_FASTCALL | METH_KEYWORDS,
     "rename($self, src, dst)\n--\n\nMove the file or directory at src to dst in one step, whatever its size: "
     "its\ninode identifier, its open handles and everything below it stay as they are,\nand it is listed last in "
     "its new directory. An existing file at dst is\nreplaced (refused while a handle is open on it), an existing "
     "directory only\nwhen empty and only by a directory. A directory cannot move into itself,\nthe root not at "
     "all; src and dst naming one entry changes nothing. On\nfailure nothing has changed.\n"},
    {"tree", cfunc(fastcall<Self, kTreeSig, tree>),
     METH_FASTCALL | METH_KEYWORDS,
     "tree($self, path, ident=None)\n--\n\n\nDebug the file system\n\nThis function will return a debug "
     "representation of the filesystem as a string.\n"},
    {"exists", cfunc(fastcall<Self, kExistsSig, exists>), METH_FASTCALL | METH_KEYWORDS,
     "exists($self, path)\n--\n\nWhether the path names an entry (links followed). Never raises for a missing "
     "path and creates nothing.\n"},
    {"read_bytes", cfunc(fastcall<Self, kReadBytesSig, read_bytes>), METH_FASTCALL | METH_KEYWORDS,
     "read_bytes($self, path, start=None, end=None)\n--\n\nThe bytes of an existing file, or of its range [start, "
     "end) clamped to the file,\nin one call. Creates nothing and writes no report line; a file open for\nwriting "
     "elsewhere is refused like open() refuses it.\n"},
    {"stat", cfunc(fastcall<Self, kStatSig, stat>), METH_FASTCALL | METH_KEYWORDS,
     "stat($self, path)\n--\n\nThe kind, size and inode identifier of the entry the path names, as a "
     "StatResult\n(kind, size, ino), with its times as the named fields mtime_ns and\nbirthtime_ns. A final "
     "symbolic link is reported itself. Creates nothing.\n"},
    {"clone", cfunc(noargs<Self, clone>), METH_NOARGS,
     "clone($self)\n--\n\n\nClone the file system.\n\nReturns a new, independent file system with the same tree: every name, the\n"
     "order of every directory's entries, every file's bytes and every inode\nidentifier. Open handles do not carry "
     "over. File contents are shared until\none side writes them, so a clone costs time and memory per inode, not "
     "per\nbyte stored.\n"},
    {"snapshot", cfunc(noargs<Self, snapshot>), METH_NOARGS,
     "snapshot($self)\n--\n\n\nSave the file system as bytes.\n\nReturns what clone would copy, in the versioned "
     "snapshot format; PyFs.from_snapshot\nbuilds the file system back from it.\n"},
    {"from_snapshot", cfunc(staticcall<kFromSnapshotSig, from_snapshot>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "from_snapshot(data)\n--\n\n\nBuild a file system from a snapshot.\n\nAccepts any bytes-like object made by "
     "PyFs.snapshot. Everything is checked\nbefore anything is built: invalid data raises ValueError.\n"},
    {"copy_in", cfunc(fs_copy_in), METH_FASTCALL | METH_KEYWORDS, kFsCopyInDoc},
    {"copy_out", cfunc(fs_copy_out), METH_FASTCALL | METH_KEYWORDS, kFsCopyOutDoc},
    {"__copy__", cfunc(noargs<Self, clone>), METH_NOARGS, "__copy__($self)\n--\n\n\nA clone of the file system.\n"},
    {"__deepcopy__", cfunc(fastcall<Self, kDeepcopySig, deepcopy>), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo)\n--\n\n\nA clone of the file system.\n"},
    {"__reduce__", cfunc(noargs<Self, reduce>), METH_NOARGS,
     "__reduce__($self)\n--\n\n\nPickle support: the file system travels as a snapshot.\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_str, reinterpret_cast<void*>(str_slot<Self, render>)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* PyFsObject::make_type() {
  return create_type({
      "PyFs",
      "()",
      "\nA highly simplified binding for a simple filesystem.\n\nThis class is a simple wrapper around the "
      "FileSystem struct. It defines\nthe basis for a small filesystem that can be used in Python. The "
      "filesystem\ncan handle files, nested directories and symlinks.\n\nThe filesystem is thread-safe and can be "
      "shared between multiple threads.\n",
      static_cast<int>(sizeof(Self)),
      constructor<kNewSig, construct>,
      dealloc_instance<Self>,
      kMethods,
      kSlots,
  });
}

}  // namespace ferrowick::py
