"""Standard io objects over the files of a PyFs.

PyFileHandle keeps the file system's own handle rules (a write leaves the
position where it was, opening with "r" creates, SEEK_END counts backwards,
a report line per read). FerrowickRawIO puts the rules of io.FileIO on top
of it, so that io.BufferedReader/Writer/Random and io.TextIOWrapper work as
over a real file, and open() assembles them as the built-in open() does.
"""

from __future__ import annotations

import errno
import io
import operator
import os
import re
import warnings
from collections.abc import Buffer
from typing import IO, Any

from ferrowick import PyFileHandle, PyFs, Whence

from ._errors import exists_already, is_a_directory, missing, not_a_directory, os_error

_SET, _CUR, _END = Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END
_CLOSED = "I/O operation on closed file"


_SEPARATORS = re.compile(r"[/\\]")


def _kind(fs: PyFs, path: str, name: str) -> str:
    """The kind of the inode at `path`, raising for `name` as open() would."""
    try:
        return fs.stat(path).kind
    except ValueError as e:
        raise os_error(e, name) from None


def check_directory_forms(fs: PyFs, name: str, creates: bool) -> None:
    """Raises what the built-in open() raises for the dots and trailing separators of `name`.

    The file system resolves "." and ".." without looking at what they
    follow and lets a trailing separator name whatever comes before it, so
    "f/", "f/." and "f/.." open (or reach past) the file f. A real system
    wants a directory before every "." and ".." and before a trailing
    separator: "f/" fails with NotADirectoryError, and a mode that may
    create ("w", "a", "x") refuses any name with a trailing separator as a
    directory (IsADirectoryError), before it looks the name up.
    """
    parts = _SEPARATORS.split(name)
    for i, part in enumerate(parts):
        if part in (".", "..") and _kind(fs, "/".join(parts[:i]), name) != "directory":
            raise not_a_directory(name)
    stripped = name.rstrip("/\\")
    if stripped == name or _SEPARATORS.split(stripped)[-1] in (".", ".."):
        return  # no trailing separator, or one after a dot ("d/./" is "d/.")
    if creates:
        # The parent must be there, as for any creation; then the trailing
        # separator alone is the refusal.
        parent = stripped[: max(stripped.rfind("/"), stripped.rfind("\\")) + 1]
        if stripped and _kind(fs, parent, name) != "directory":
            raise not_a_directory(name)
        raise is_a_directory(name)
    if _kind(fs, stripped, name) != "directory":
        raise not_a_directory(name)


def fspath(path: str | os.PathLike[str]) -> str:
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError(f"expected str or os.PathLike[str], not {type(p).__name__}")
    return p


class FerrowickRawIO(io.RawIOBase):
    """An unbuffered binary file of a PyFs with io.FileIO's behaviour.

    `mode` is one of "r", "w", "x", "a", optionally followed by "+" (a "b"
    is accepted and ignored). "r" needs the file to exist, "w" empties it,
    "x" refuses an existing one, "a" writes every byte at the end. Writes
    move the position, and seeking past the end is allowed: the gap reads as
    zeros once something is written there. Failures raise the OSError
    subclasses described in ferrowickfs._errors.

    The file's lock is held until close(): a handle that may write has the
    file to itself, read-only handles share it.
    """

    def __init__(self, fs: PyFs, path: str | os.PathLike[str], mode: str = "r") -> None:
        super().__init__()
        self._name = fspath(path)
        kind = mode.replace("b", "")
        if kind not in ("r", "w", "x", "a", "r+", "w+", "x+", "a+"):
            raise ValueError(f"invalid mode: {mode!r}")
        self._readable = kind[0] == "r" or "+" in kind
        self._writable = kind[0] != "r" or "+" in kind
        self._append = kind[0] == "a"
        self._created = kind[0] == "x"
        # The position when it lies past the end of the file (the handle's own
        # position never does); None otherwise.
        self._beyond: int | None = None
        name = self._name
        h: PyFileHandle | None = None
        try:
            check_directory_forms(fs, name, kind[0] != "r")
            if kind[0] == "r" and not fs.exists(name):
                fs.stat(name)  # the precise failure (a file on the way, ...)
                raise missing(name)
            if self._created and fs.exists(name):
                raise exists_already(name)
            h = fs.open(name, ("r" if self._readable else "") + ("w" if self._writable else ""))
            if kind[0] == "w":
                h.truncate(0)
            elif self._append:
                h.seek(0, _END)
        except ValueError as e:
            if h is not None:
                h.close()
            raise os_error(e, name) from None
        self._h = h

    # --- what io needs to know ------------------------------------------------
    @property
    def name(self) -> str:
        return self._name

    @property
    def mode(self) -> str:
        if self._created:
            return "xb+" if self._readable else "xb"
        if self._append:
            return "ab+" if self._readable else "ab"
        if self._readable:
            return "rb+" if self._writable else "rb"
        return "wb"

    def __repr__(self) -> str:
        if self.closed:
            return "<ferrowickfs.FerrowickRawIO [closed]>"
        return f"<ferrowickfs.FerrowickRawIO name={self._name!r} mode={self.mode!r}>"

    def _check(self, allowed: bool, what: str) -> None:
        if self.closed:
            raise ValueError(_CLOSED)
        if not allowed:
            raise io.UnsupportedOperation(f"File not open for {what}")

    def readable(self) -> bool:
        self._check(True, "")
        return self._readable

    def writable(self) -> bool:
        self._check(True, "")
        return self._writable

    def seekable(self) -> bool:
        self._check(True, "")
        return True

    def isatty(self) -> bool:
        self._check(True, "")
        return False

    # --- data -------------------------------------------------------------------
    def readinto(self, buffer: Buffer) -> int:
        self._check(self._readable, "reading")
        if self._beyond is not None:
            return 0
        try:
            return self._h.readinto(buffer)
        except ValueError as e:
            raise os_error(e, self._name) from None

    def readall(self) -> bytes:
        """Everything from the position to the end, in one read."""
        self._check(self._readable, "reading")
        if self._beyond is not None:
            return b""
        try:
            return self._h.readall()
        except ValueError as e:
            raise os_error(e, self._name) from None

    def write(self, b: Buffer) -> int:
        self._check(self._writable, "writing")
        h = self._h
        data = b if type(b) is bytes else memoryview(b).tobytes()
        try:
            if self._append:
                h.seek(0, _END)
                self._beyond = None
            elif self._beyond is not None:
                h.truncate(self._beyond)  # the gap becomes zeros
                h.seek(self._beyond, _SET)
                self._beyond = None
            n = h.write(data)
            h.seek(n, _CUR)
        except ValueError as e:
            raise os_error(e, self._name) from None
        return n

    def seek(self, pos: int, whence: int = os.SEEK_SET) -> int:
        self._check(True, "")
        pos = operator.index(pos)
        h = self._h
        try:
            if whence == os.SEEK_SET:
                target = pos
            elif whence == os.SEEK_CUR:
                target = self.tell() + pos
            elif whence == os.SEEK_END:
                here = h.tell()
                h.seek(0, _END)
                target = h.tell() + pos
                if target < 0:
                    h.seek(here, _SET)  # a refused seek leaves the position
            else:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            if target < 0:
                raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
            h.seek(target, _SET)
            self._beyond = target if h.tell() < target else None
        except ValueError as e:
            raise os_error(e, self._name) from None
        return target

    def tell(self) -> int:
        self._check(True, "")
        if self._beyond is not None:
            return self._beyond
        try:
            return self._h.tell()
        except ValueError as e:
            raise os_error(e, self._name) from None

    def truncate(self, size: int | None = None) -> int:
        """Sets the length (zero-filling a growth); the position stays."""
        self._check(self._writable, "writing")
        pos = self.tell()
        size = pos if size is None else operator.index(size)
        if size < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        h = self._h
        try:
            h.truncate(size)
            if pos > size:
                self._beyond = pos  # the handle was pulled back to the new end
            elif self._beyond is not None:
                h.seek(pos, _SET)
                self._beyond = None
        except ValueError as e:
            raise os_error(e, self._name) from None
        return size

    def close(self) -> None:
        """Closes the file and gives its lock back; a second close does nothing."""
        if self.closed:
            return
        try:
            super().close()
        finally:
            h = getattr(self, "_h", None)
            if h is not None:
                h.close()


def open(  # noqa: A001 - the point is to stand in for the built-in
    fs: PyFs,
    path: str | os.PathLike[str],
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
) -> IO[Any]:
    """Opens a file of `fs` as the built-in open() opens a real one.

    The modes, their checks and messages, buffering and text handling are
    those of the built-in: "r"/"rb" need an existing file (FileNotFoundError),
    "w" truncates, "a" appends, "x" refuses an existing file
    (FileExistsError), "+" adds the other direction, "t" (the default) goes
    through io.TextIOWrapper. Returns io.TextIOWrapper, io.BufferedReader,
    io.BufferedWriter, io.BufferedRandom or, with buffering=0 in binary mode,
    the FerrowickRawIO itself.
    """
    if not isinstance(fs, PyFs):
        raise TypeError(f"open() argument 'fs' must be PyFs, not {type(fs).__name__}")
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    if not isinstance(buffering, int):
        raise TypeError(f"'{type(buffering).__name__}' object cannot be interpreted as an integer")
    for arg, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"open() argument '{arg}' must be str or None, not {type(value).__name__}")
    modes = set(mode)
    if modes - set("axrwb+t") or len(mode) > len(modes):
        raise ValueError(f"invalid mode: {mode!r}")
    creating, reading, writing, appending = "x" in modes, "r" in modes, "w" in modes, "a" in modes
    updating, text, binary = "+" in modes, "t" in modes, "b" in modes
    if text and binary:
        raise ValueError("can't have text and binary mode at once")
    kinds = creating + reading + writing + appending
    if kinds > 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    if kinds == 0:
        raise ValueError("Must have exactly one of create/read/write/append mode and at most one plus")
    if binary and encoding is not None:
        raise ValueError("binary mode doesn't take an encoding argument")
    if binary and errors is not None:
        raise ValueError("binary mode doesn't take an errors argument")
    if binary and newline is not None:
        raise ValueError("binary mode doesn't take a newline argument")
    if binary and buffering == 1:
        warnings.warn(
            "line buffering (buffering=1) isn't supported in binary mode, the default buffer size will be used",
            RuntimeWarning,
            2,
        )
    kind = "x" if creating else "r" if reading else "w" if writing else "a"
    raw = FerrowickRawIO(fs, path, kind + ("+" if updating else ""))
    result: IO[Any] = raw  # type: ignore[assignment]
    try:
        line_buffering = False
        if buffering == 1 or buffering < 0 and raw.isatty():
            buffering = -1
            line_buffering = True
        if buffering < 0:
            buffering = io.DEFAULT_BUFFER_SIZE
        if buffering == 0:
            if binary:
                return result
            raise ValueError("can't have unbuffered text I/O")
        buffer: io.BufferedIOBase
        if updating:
            buffer = io.BufferedRandom(raw, buffering)
        elif creating or writing or appending:
            buffer = io.BufferedWriter(raw, buffering)
        else:
            buffer = io.BufferedReader(raw, buffering)
        result = buffer
        if binary:
            return result
        wrapper = io.TextIOWrapper(buffer, io.text_encoding(encoding), errors, newline, line_buffering)
        result = wrapper
        wrapper.mode = mode  # type: ignore[misc]
        return result
    except BaseException:
        result.close()
        raise
