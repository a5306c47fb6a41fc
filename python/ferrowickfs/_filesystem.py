"""FerrowickFileSystem: a PyFs as an fsspec file system (protocol "ferrowick").

Paths are absolute ("/a/b"); "ferrowick://a/b" and "a/b" name the same file.
Listings give entries in the directory's own order (files, then
directories, each in creation order). Writing (open for writing,
pipe_file, touch, cp_file, put) creates missing parent directories unless
the file system was made with auto_mkdir=False. mv renames: a file or a
whole directory moves in one step, whatever its size. created() and
modified() are aware datetimes in UTC; info() gives them as "created" and
"mtime", seconds since the epoch. Transactions (autocommit=False) are not
supported: writes land at once.
"""

from __future__ import annotations

import threading
from datetime import datetime, timezone
from glob import has_magic
from typing import Any

from fsspec import AbstractFileSystem  # type: ignore[import-untyped]
from fsspec.utils import stringify_path  # type: ignore[import-untyped]

from ferrowick import PyFs

from . import _io
from ._errors import exists_already, is_a_directory, missing, not_a_directory, os_error

_PREFIX = "ferrowick://"
_NS = 1_000_000_000


def _utc(ns: int) -> datetime:
    # Through whole seconds, so that nanoseconds do not pass through a float.
    return datetime.fromtimestamp(ns // _NS, timezone.utc).replace(microsecond=ns % _NS // 1000)
_default_fs: PyFs | None = None
_default_lock = threading.Lock()


def default_fs() -> PyFs:
    """The process-wide PyFs that FerrowickFileSystem() uses without `fs`."""
    global _default_fs
    with _default_lock:
        if _default_fs is None:
            _default_fs = PyFs()
        return _default_fs


class _CacheOnlyTheDefault(type(AbstractFileSystem)):  # type: ignore[misc]
    # fsspec keeps every instance it makes for the life of the process. That
    # suits the one default file system; an instance over a caller's PyFs
    # would keep that PyFs alive for good, so it is not cached.
    def __call__(cls, *args: Any, **kwargs: Any) -> Any:
        if args or kwargs.get("fs") is not None:
            kwargs.setdefault("skip_instance_cache", True)
        return super().__call__(*args, **kwargs)


class FerrowickFileSystem(AbstractFileSystem, metaclass=_CacheOnlyTheDefault):  # type: ignore[misc]
    """fsspec access to a ferrowick.PyFs: `FerrowickFileSystem(fs=a_pyfs)`,
    or without `fs` the one process-wide default PyFs (as fsspec's memory
    file system shares one store). `.pyfs` is the PyFs worked on."""

    protocol = "ferrowick"
    root_marker = "/"

    def __init__(self, fs: PyFs | None = None, auto_mkdir: bool = True, **storage_options: Any) -> None:
        super().__init__(**storage_options)
        if fs is None:
            fs = default_fs()
        elif not isinstance(fs, PyFs):
            raise TypeError(f"fs must be a ferrowick.PyFs, not {type(fs).__name__}")
        self.pyfs = fs
        self.auto_mkdir = auto_mkdir

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if type(path) is not str:
            if isinstance(path, list):
                return [cls._strip_protocol(p) for p in path]
            path = stringify_path(path)
        if path.startswith(_PREFIX):
            path = path[len(_PREFIX) :]
        elif path.startswith("/") and not path.endswith("/") and not path.startswith("//"):
            return path  # already in the form used here
        return "/" + path.strip("/")

    # --- queries ----------------------------------------------------------------
    def _stat(self, path: str) -> Any:
        try:
            return self.pyfs.stat(path)
        except ValueError as e:
            raise os_error(e, path) from None

    @staticmethod
    def _details(path: str, st: Any) -> dict[str, Any]:
        kind, size, ino = st
        info = {
            "name": path,
            "size": size,
            "type": "other" if kind == "symlink" else kind,
            "ino": ino,
            "mtime": st.mtime_ns / _NS,
            "created": st.birthtime_ns / _NS,
        }
        if kind == "symlink":
            info["islink"] = True
        return info

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        path = self._strip_protocol(path)
        return self._details(path, self._stat(path))

    def exists(self, path: str, **kwargs: Any) -> bool:
        return self.pyfs.exists(self._strip_protocol(path))

    def isdir(self, path: str) -> bool:
        try:
            return self.pyfs.stat(self._strip_protocol(path)).kind == "directory"
        except ValueError:
            return False

    def isfile(self, path: str) -> bool:
        try:
            return self.pyfs.stat(self._strip_protocol(path)).kind == "file"
        except ValueError:
            return False

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        st = self._stat(path)
        if st.kind != "directory":
            return [self._details(path, st) if detail else path]
        try:
            files, dirs = self.pyfs.listdir(path)
        except ValueError as e:
            raise os_error(e, path) from None
        base = "" if path == "/" else path
        names = [f"{base}/{n}" for n in files]
        names += [f"{base}/{n}" for n in dirs]
        if not detail:
            return names
        stat, out = self.pyfs.stat, []
        for name in names:
            try:
                st = stat(name)
            except ValueError:
                continue  # removed since the directory was listed
            out.append(self._details(name, st))
        return out

    def modified(self, path: str) -> datetime:
        """The last change of a file's contents or of a directory's entries."""
        return _utc(self._stat(self._strip_protocol(path)).mtime_ns)

    def created(self, path: str) -> datetime:
        return _utc(self._stat(self._strip_protocol(path)).birthtime_ns)

    # --- directories --------------------------------------------------------------
    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if self.pyfs.exists(path):
            raise exists_already(path)
        if create_parents:
            self.makedirs(path, exist_ok=True)
            return
        try:
            self.pyfs.mkdir(path)
        except ValueError as e:
            raise os_error(e, path) from None

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        path = self._strip_protocol(path)
        try:
            self.pyfs.mkdir(path)
            return
        except ValueError as e:
            err = os_error(e, path)
        if isinstance(err, FileNotFoundError) and path != "/":
            self.makedirs(self._parent(path), exist_ok=True)
            return self.makedirs(path, exist_ok=exist_ok)
        if isinstance(err, FileExistsError) or path == "/":
            if not self.isdir(path):
                raise not_a_directory(path) if path != "/" else err
            if exist_ok:
                return
        raise err

    def rmdir(self, path: str) -> None:
        path = self._strip_protocol(path)
        if self._stat(path).kind != "directory":
            raise not_a_directory(path)
        try:
            self.pyfs.remove(path, False)
        except ValueError as e:
            raise os_error(e, path) from None

    # --- removal ------------------------------------------------------------------
    def _rm(self, path: str) -> None:
        path = self._strip_protocol(path)
        if self._stat(path).kind == "directory":
            raise is_a_directory(path)
        try:
            self.pyfs.remove(path, False)
        except ValueError as e:
            raise os_error(e, path) from None

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        """Removes files and empty directories; with recursive=True also
        directories with everything below them."""
        if isinstance(path, str) and maxdepth is None and not has_magic(path):
            paths = [self._strip_protocol(path)]  # one entry: no need to list it
        else:
            paths = self.expand_path(path, recursive=recursive, maxdepth=maxdepth)
        whole = recursive and maxdepth is None
        for p in reversed(paths):  # deepest first
            try:
                self.pyfs.remove(p, whole)
            except ValueError as e:
                err = os_error(e, p)
                if recursive and isinstance(err, FileNotFoundError) and len(paths) > 1:
                    continue  # taken along with a directory removed before it
                raise err from None

    # --- moving -------------------------------------------------------------------
    def mv(self, path1: Any, path2: Any, recursive: bool = False, maxdepth: int | None = None, **kwargs: Any) -> None:
        """Moves by renaming, in one step: nothing is copied, the inode
        identifier stays, and a file that already is at the destination is
        replaced at once (as os.replace does). A directory moves only with
        recursive=True, with everything below it. A destination that is a
        directory, or ends in "/", receives the source inside it, as copy
        places it. Lists, globs and maxdepth go through fsspec's copy and
        remove."""
        if not (isinstance(path1, str) and isinstance(path2, str)) or has_magic(path1) or maxdepth is not None:
            super().mv(path1, path2, recursive=recursive, maxdepth=maxdepth, **kwargs)
            return
        into = path2.endswith("/")
        src = self._strip_protocol(path1)
        dst = self._strip_protocol(path2)
        if self._stat(src).kind == "directory" and not recursive:
            raise is_a_directory(src)
        if (into or self.isdir(dst)) and not path1.endswith("/"):
            dst = dst.rstrip("/") + "/" + src.rsplit("/", 1)[-1]
        if src == dst:
            return
        self._make_parent(dst)
        try:
            self.pyfs.rename(src, dst)
        except ValueError as e:
            raise os_error(e, src) from None

    # --- file contents ------------------------------------------------------------
    def _open(
        self,
        path: str,
        mode: str = "rb",
        block_size: Any = None,
        autocommit: bool = True,
        cache_options: Any = None,
        **kwargs: Any,
    ) -> Any:
        if not autocommit:
            raise NotImplementedError("ferrowick writes at once; transactions are not supported")
        path = self._strip_protocol(path)
        buffering = block_size if isinstance(block_size, int) and block_size > 0 else -1
        if "r" not in mode or "+" in mode:
            self._make_parent(path)
        return _io.open(self.pyfs, path, mode if "b" in mode else mode + "b", buffering)

    def _make_parent(self, path: str) -> None:
        if self.auto_mkdir:
            parent = self._parent(path)
            if not self.pyfs.exists(parent):
                self.makedirs(parent, exist_ok=True)

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        path = self._strip_protocol(path)
        try:
            if (start is not None and start < 0) or (end is not None and end < 0):
                # Counted from the end: the length decides where the range lies.
                st = self._stat(path)
                size = len(self.pyfs.read_bytes(path)) if st.kind == "symlink" else st.size
                start, end, _ = slice(start, end).indices(size)
            return self.pyfs.read_bytes(path, start, end)
        except ValueError as e:
            raise os_error(e, path) from None

    def pipe_file(self, path: str, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        pyfs = self.pyfs
        if mode == "create" and pyfs.exists(path):
            raise exists_already(path)
        data = value if type(value) is bytes else memoryview(value).tobytes()
        try:
            try:
                h = pyfs.open(path, "w")
            except ValueError as e:
                if not self.auto_mkdir or str(e) != "Inode not found":
                    raise
                self._make_parent(path)
                h = pyfs.open(path, "w")
            try:
                h.truncate(0)
                h.write(data)
            finally:
                h.close()
        except ValueError as e:
            raise os_error(e, path) from None

    def touch(self, path: str, truncate: bool = True, **kwargs: Any) -> None:
        """Creates an empty file, or empties an existing one (truncate=True).

        Without truncate an existing file keeps its contents and only its
        modification time moves on.
        """
        path = self._strip_protocol(path)
        if truncate or not self.pyfs.exists(path):
            self.pipe_file(path, b"")
            return
        try:
            h = self.pyfs.open(path, "w")
            try:
                h.truncate(self.pyfs.stat(path).size)  # the same length: a change of time only
            finally:
                h.close()
        except ValueError as e:
            raise os_error(e, path) from None

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        path1 = self._strip_protocol(path1)
        path2 = self._strip_protocol(path2)
        if self._stat(path1).kind == "directory":
            self.makedirs(path2, exist_ok=True)
            return
        self.pipe_file(path2, self.cat_file(path1))

    def _isfilestore(self) -> bool:
        # Real directories: empty ones exist and are copied as such.
        return True
