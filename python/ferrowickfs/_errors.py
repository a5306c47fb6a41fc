"""Failures of a PyFs as the built-in OSError subclasses.

PyFs reports every failure as ValueError carrying the file system's own
sentence. Code written for real files expects OSError with an errno, so the
sentence is mapped to one; it stays the exception's message (``strerror``)
and the path becomes its ``filename``:

==========================================  ===================================
PyFs message                                raised as
==========================================  ===================================
"Inode not found"                           FileNotFoundError (ENOENT)
"The specified INode is not a directory"    NotADirectoryError (ENOTDIR)
"The specified INode is not a file"         IsADirectoryError (EISDIR)
"Resource already exists"                   FileExistsError (EEXIST)
"Directory is not empty"                    OSError (ENOTEMPTY)
"Resource is currently in use"              OSError (EBUSY)
"Maximum filesystem depth exceeded"         OSError (ENAMETOOLONG)
"Invalid file descriptor"                   OSError (EBADF)
"A directory cannot be moved into itself"   OSError (EINVAL)
"File does not support ... operation: X"    io.UnsupportedOperation
==========================================  ===================================

"Resource is currently in use" means a file's reader/writer lock is held in a
conflicting way (a writer is open, or readers are while a writer is asked
for, or the file is being removed). It is EBUSY, "Device or resource busy",
the errno a system gives for a resource held by someone else; Python has no
subclass for it, so it is a plain OSError and ``e.errno == errno.EBUSY``.
It is not BlockingIOError (EAGAIN): nothing is retried or waited for.

"Maximum filesystem depth exceeded" is the limit of 64 levels below the root
(and of 64 links followed in a row). It is ENAMETOOLONG, "File name too
long", what a real file system answers when a path grows past its limit;
a plain OSError too.
"""

from __future__ import annotations

import errno
import io

_ERRNO = {
    "Inode not found": errno.ENOENT,
    "The specified INode is not a directory": errno.ENOTDIR,
    "The specified INode is not a file": errno.EISDIR,
    "Resource already exists": errno.EEXIST,
    "Directory is not empty": errno.ENOTEMPTY,
    "Resource is currently in use": errno.EBUSY,
    "Maximum filesystem depth exceeded": errno.ENAMETOOLONG,
    "Invalid file descriptor": errno.EBADF,
    "A directory cannot be moved into itself": errno.EINVAL,
}
_UNSUPPORTED = "File does not support the specified operation: "


def os_error(exc: ValueError, path: str | None = None) -> Exception:
    """The exception to raise in place of a PyFs failure `exc` about `path`.

    A message this module does not know is returned unchanged.
    """
    message = str(exc)
    code = _ERRNO.get(message)
    if code is not None:
        # OSError picks the subclass from the errno (ENOENT -> FileNotFoundError).
        return OSError(code, message) if path is None else OSError(code, message, path)
    if message.startswith(_UNSUPPORTED):
        return io.UnsupportedOperation(message)
    return exc


def missing(path: str) -> FileNotFoundError:
    return FileNotFoundError(errno.ENOENT, "Inode not found", path)


def exists_already(path: str) -> FileExistsError:
    return FileExistsError(errno.EEXIST, "Resource already exists", path)


def is_a_directory(path: str) -> IsADirectoryError:
    return IsADirectoryError(errno.EISDIR, "The specified INode is not a file", path)


def not_a_directory(path: str) -> NotADirectoryError:
    return NotADirectoryError(errno.ENOTDIR, "The specified INode is not a directory", path)
