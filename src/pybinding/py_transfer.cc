// PyFs.copy_in, PyFs.copy_out, PyUser.put and PyUser.get.
//
// All four spend their time on host I/O, so they run without the
// interpreter lock: the file system synchronises itself, and the account's
// lock is taken only inside the released region, long enough to read its
// home and uid.
#include "pybinding/py_transfer.h"

#include <string>

#include "pool/home_transfer.h"
#include "pybinding/class_support.h"
#include "pybinding/classes.h"
#include "pybinding/gil.h"

namespace ferrowick::py {

namespace {

constexpr std::uint64_t kDefaultMaxBytes = std::uint64_t{1} << 30;

constexpr Param kCopyInParams[] = {{"host_path", ArgKind::HostPath}, {"dest", ArgKind::OptText}};
constexpr Signature kCopyInSig{"PyFs.copy_in()", kCopyInParams};
constexpr Param kCopyOutParams[] = {{"src", ArgKind::Text}, {"host_path", ArgKind::HostPath}};
constexpr Signature kCopyOutSig{"PyFs.copy_out()", kCopyOutParams};
constexpr Param kPutParams[] = {
    {"fs", ArgKind::Instance, "PyFs", PyFsObject::type}, {"src", ArgKind::OptText}, {"dest", ArgKind::OptText}};
constexpr Signature kPutSig{"PyUser.put()", kPutParams};
constexpr Param kGetParams[] = {{"src", ArgKind::OptText},
                                {"max_bytes", ArgKind::OptUWord, nullptr, nullptr, /*keyword_only=*/true}};
constexpr Signature kGetSig{"PyUser.get()", kGetParams};

std::string text_or(const Arg& a, const char* fallback) { return a.present ? std::string(a.text) : fallback; }

PyObject* count_or_raise(const TransferResult<std::uint64_t>& r) {
  return r ? PyLong_FromUnsignedLongLong(*r) : raise_transfer_error(r.error());
}

PyObject* copy_in_impl(PyFsObject& self, Args& a) {
  std::shared_ptr<FileSystem> fs = self.fs;
  const std::string host_path(a[0].text), dest = text_or(a[1], "/");
  return count_or_raise(without_gil([&] { return copy_in(*fs, host_path, dest); }));
}

PyObject* copy_out_impl(PyFsObject& self, Args& a) {
  std::shared_ptr<FileSystem> fs = self.fs;
  const std::string src(a[0].text), host_path(a[1].text);
  return count_or_raise(without_gil([&] { return copy_out(*fs, src, host_path); }));
}

struct Account {
  std::string home;
  uid_t uid;
};
// Called without the interpreter lock.
Account account_of(const SharedUser& user) {
  auto guard = user->lock();
  return {guard->home(), guard->uid()};
}

PyObject* put_impl(const SharedUser& user, Args& a) {
  std::shared_ptr<FileSystem> fs = reinterpret_cast<PyFsObject*>(a[0].object)->fs;
  const std::string src = text_or(a[1], "/"), dest = text_or(a[2], "");
  return count_or_raise(without_gil([&] {
    const Account account = account_of(user);
    return put_into_home(*fs, src, account.home, account.uid, dest);
  }));
}

PyObject* get_impl(const SharedUser& user, Args& a) {
  const std::string src = text_or(a[0], "");
  const std::uint64_t max_bytes = a[1].present ? a[1].number : kDefaultMaxBytes;
  auto fs = without_gil([&] {
    const Account account = account_of(user);
    return get_from_home(account.home, account.uid, src, max_bytes);
  });
  if (!fs) return raise_transfer_error(fs.error());
  return new_instance<PyFsObject>(std::move(*fs));
}

// fastcall() for PyUser, whose layout lives in py_pool.cc.
template <const Signature& Sig, PyObject* (*Fn)(const SharedUser&, Args&)>
PyObject* user_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  Args a;
  if (!bind(Sig, args, nargs, kwnames, a)) return nullptr;
  try {
    const SharedUser* user = shared_user_of(self);
    if (!user) return nullptr;
    const SharedUser hold = *user;
    return Fn(hold, a);
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace

PyObject* fs_copy_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return fastcall<PyFsObject, kCopyInSig, copy_in_impl>(self, args, nargs, kwnames);
}
PyObject* fs_copy_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return fastcall<PyFsObject, kCopyOutSig, copy_out_impl>(self, args, nargs, kwnames);
}
PyObject* user_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return user_call<kPutSig, put_impl>(self, args, nargs, kwnames);
}
PyObject* user_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return user_call<kGetSig, get_impl>(self, args, nargs, kwnames);
}

const char kFsCopyInDoc[] =
    "copy_in($self, host_path, dest='/')\n--\n\nCopy a host directory tree into the file system.\n\n"
    "Directories and regular files below host_path are copied under dest, which\nis created if missing; existing "
    "files are replaced. Symbolic links, devices,\nFIFOs and sockets are skipped. Returns the number of files "
    "copied. Host\nfailures raise the matching OSError; if dest was created by the call, a\nfailure removes it "
    "again.\n";
const char kFsCopyOutDoc[] =
    "copy_out($self, src, host_path)\n--\n\nWrite the subtree at src to a host directory.\n\n"
    "host_path is created (mode 0755, files 0644, under the umask) unless it\nis an empty directory already; "
    "anything else there raises OSError. No\nsymbolic link below host_path is followed. Returns the number of "
    "files\nwritten.\n";
const char kUserPutDoc[] =
    "put($self, fs, src='/', dest=None)\n--\n\nCopy the subtree at src of a PyFs into the account's home.\n\n"
    "dest is relative to the home (default: the home itself) and is created if\nmissing. Everything written is "
    "owned by the account, directories 0755 and\nfiles 0644; existing files are replaced. A symbolic link or a "
    "mount point\nin the way raises OSError and nothing is written outside the home.\nReturns the number of files "
    "written.\n";
const char kUserGetDoc[] =
    "get($self, src=None, *, max_bytes=1073741824)\n--\n\nRead the home (or src inside it) into a new PyFs.\n\n"
    "Directories and regular files are read; symbolic links, FIFOs, sockets,\ndevices and mount points are "
    "skipped, as is another owner's file hard-linked\ninto the home; no link is ever followed. More than "
    "max_bytes of file content\nin total raises ValueError before it is read. A file changed while it is\n"
    "read yields the bytes read.\n";

}  // namespace ferrowick::py
