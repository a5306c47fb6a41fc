"""An in-memory virtual file system, a small shell over it, and a pool of
throw-away Unix accounts with real bash sessions.

Failures raise ValueError carrying the system's own message, arguments of
the wrong type raise TypeError, negative or too large integers raise
OverflowError. An internal assertion failure raises ``PanicException``, which
derives from BaseException (not Exception) and is not a module attribute.

Only PyFs, PyTerm and PyUserPool are constructed by the caller; calling
PyFileHandle, Whence, PyUser, PyTerminalSession or PyProcess raises
TypeError "No constructor defined" (they come from PyFs.open, the three
class attributes of Whence, PyUserPool.allocate, PyUser.spawn and
PyUser.start).
"""

from collections.abc import Buffer, Callable, Mapping
from types import TracebackType
from typing import ClassVar, Final, Literal, Self, SupportsIndex, final

from _typeshed import StrOrBytesPath, structseq

__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession", "PyProcess"]

__version__: str
"""The package's version, as in its wheel's metadata (not exported by ``*``)."""

@final
class PyFs:
    """An in-memory file system: directories, files and symbolic links.

    Paths are resolved from the root; "/" and "\\" both separate components,
    empty components and "." stay in place, ".." goes to the parent. The file
    system lives while this object, a file handle or a terminal uses it, and
    may be shared between threads.
    """

    def __new__(cls) -> Self: ...
    def mkdir(self, path: str) -> None:
        """Creates a directory; its parent must exist.

        Raises ValueError "Resource already exists" or "Inode not found".
        """

    def touch(self, path: str) -> None:
        """Creates an empty file; its parent must exist."""

    def open(self, path: str, mode: str) -> PyFileHandle:
        """Opens a file, creating it when missing, whatever the mode.

        `mode` is "r", "w", "rw" or "wr" ("" opens without access); anything
        else raises ValueError "Unrecognized file mode". Readers share a file,
        a writer has it alone: otherwise ValueError "Resource is currently in use".
        """

    def listdir(self, path: str) -> tuple[list[str], list[str]]:
        """The names in a directory: (files and links, directories), each in creation order."""

    def remove(self, path: str, recurse: bool) -> None:
        """Removes an entry; a non-empty directory only with `recurse` True.

        Both arguments are required, `recurse` must be a bool.
        """

    def rename(self, src: str, dst: str) -> None:
        """Moves the entry at `src` to `dst` in one step, whatever its size.

        Its inode identifier, open handles and everything below it stay; it is
        listed last in its new directory. An existing file at `dst` is replaced
        (ValueError "Resource is currently in use" while a handle is open on
        it), an existing directory only when empty and only by a directory. A
        directory cannot move into itself (ValueError "A directory cannot be
        moved into itself"), the root not at all. On failure nothing changed.
        """

    def tree(self, path: str, ident: str | None = None) -> str:
        """Renders the tree below a directory, one line per entry.

        Subdirectories first (with a trailing "/", each followed by its own
        contents two blanks deeper), then the other entries; every line starts
        with `ident` and ends with a line feed.
        """

    def exists(self, path: str) -> bool:
        """Whether `path` names an entry (links followed); never raises for a missing path."""

    def read_bytes(self, path: str, start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> bytes:
        """The bytes of an existing file, or of its range [start, end) clamped to
        the file. Creates nothing, writes no report line; ValueError "Inode not
        found" for a missing file."""

    def stat(self, path: str) -> StatResult:
        """Kind, size, inode identifier and times of the entry `path` names; creates nothing.

        A final symbolic link is reported itself. A missing path raises
        ValueError "Inode not found".
        """

    def clone(self) -> PyFs:
        """A new, independent file system with the same tree.

        Names, the order of every directory's entries, file contents, inode
        identifiers and the next identifier are copied; open handles are not
        (the clone's files are all free). Contents are shared copy-on-write:
        the cost is per inode, not per byte stored.
        """

    def copy_in(self, host_path: StrOrBytesPath, dest: str | None = "/") -> int:
        """Copies a host directory tree under `dest` (created if missing).

        Directories and regular files only: links, devices, FIFOs and sockets
        are skipped; existing files are replaced. Returns the number of files
        copied. Host failures raise the matching OSError; when the call
        created `dest`, a failure removes it again.
        """

    def copy_out(self, src: str, host_path: StrOrBytesPath) -> int:
        """Writes the subtree at `src` to a new (or empty) host directory.

        Modes 0755/0644 under the umask; no link below `host_path` is followed.
        Anything else at `host_path` raises OSError. Returns the files written.
        """

    def snapshot(self) -> bytes:
        """The file system as bytes, in the versioned snapshot format."""

    @staticmethod
    def from_snapshot(data: Buffer) -> PyFs:
        """Builds a file system from any bytes-like object made by `snapshot`.

        Everything is checked before anything is built; data that is not a
        valid snapshot raises ValueError "invalid snapshot: ...".
        """

    def __copy__(self) -> PyFs:
        """A clone."""

    def __deepcopy__(self, memo: object) -> PyFs:
        """A clone."""

    def __reduce__(self) -> tuple[Callable[[Buffer], PyFs], tuple[bytes]]:
        """Pickles as a snapshot, so a PyFs can go to another process."""

@final
class StatResult(structseq[str | int], tuple[Literal["file", "directory", "symlink"], int, int]):
    """What PyFs.stat reports; unpacks as (kind, size, ino), with the times as
    named fields beyond the sequence. Not in __all__."""

    __match_args__: Final = ("kind", "size", "ino")
    @property
    def kind(self) -> Literal["file", "directory", "symlink"]:
        """"file", "directory" or "symlink"."""

    @property
    def size(self) -> int:
        """Bytes of a file, number of entries of a directory, 0 for a link."""

    @property
    def ino(self) -> int:
        """The inode identifier."""

    @property
    def mtime_ns(self) -> int:
        """Last change, in nanoseconds since the epoch: of a file's contents, of a directory's entries."""

    @property
    def birthtime_ns(self) -> int:
        """Creation, in nanoseconds since the epoch."""

@final
class Usage(structseq[float | int | str], tuple[float, int, int, int, int, Literal["cgroup2", "cgroup1", "rusage"]]):
    """What a session's or a command's process tree used (PyTerminalSession.usage(),
    PyProcess.usage(), Completed.usage). Not in __all__."""

    __match_args__: Final = ("cpu_time", "peak_memory", "memory", "pids", "oom_kills", "source")
    @property
    def cpu_time(self) -> float:
        """Seconds of CPU, user and system, of the whole tree, finished processes included."""

    @property
    def peak_memory(self) -> int:
        """Bytes: the tree's high-water mark (with source "rusage": the largest single process)."""

    @property
    def memory(self) -> int:
        """Bytes the tree uses now."""

    @property
    def pids(self) -> int:
        """Processes and threads of the tree now."""

    @property
    def oom_kills(self) -> int:
        """Processes the kernel killed for the memory limit."""

    @property
    def source(self) -> Literal["cgroup2", "cgroup1", "rusage"]:
        """Where the figures come from."""

@final
class PyFileHandle:
    """An open file of a PyFs, made by PyFs.open; a context manager that closes it.

    Closing (or dropping the object) gives the file's lock back; afterwards
    every method raises ValueError "Invalid file descriptor".
    """

    def id(self) -> int:
        """The inode identifier of the open file."""

    def close(self) -> None:
        """Closes the handle; a second close raises ValueError."""

    def read(self, buffer: SupportsIndex) -> bytes:
        """Reads up to `buffer` bytes from the current position and moves past them.

        Returns b"" at the end of the file. Writes "Read N bytes from file" to
        the process's standard output (file descriptor 1).
        """

    def write(self, buffer: bytes) -> int:
        """Writes `buffer` at the current position (the position stays); returns its length."""

    def seek(self, offset: SupportsIndex, whence: Whence) -> None:
        """Moves `offset` bytes from the start, forwards from the current position,
        or backwards from the end; the result is clamped to the file."""

    def tell(self) -> int:
        """The current position."""

    def readinto(self, buffer: Buffer) -> int:
        """Reads into a writable buffer from the current position and moves past
        what was read; returns the count (0 at the end). Writes no report line."""

    def readall(self) -> bytes:
        """Reads from the current position to the end in one piece; writes no report line."""

    def truncate(self, size: SupportsIndex) -> None:
        """Sets the file's length, zero-filling when it grows; needs a handle opened for writing."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class PyTerm:
    """A terminal over a PyFs: runs the commands cd, ls, pwd, cat, mkdir,
    touch, help, rm and echo, with its own current directory."""

    def __new__(cls, fs: PyFs) -> Self: ...
    def exec(self, command: str) -> str:
        """Runs one command line and returns its output.

        A failing command raises ValueError with its error text, for example
        "nosuch: command not found".
        """

@final
class Whence:
    """Where PyFileHandle.seek counts from. Compares equal to its int value; not hashable."""

    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class PyUserPool:
    """A pool of throw-away Unix accounts on the host (root only).

    Accounts are named "test_" and eight letters or digits, created with
    useradd (or adopted) and handed out with a fresh, private home under
    /tmp/tmp_user_home, no process running and nothing of an earlier tenant
    left in the host's world-writable directories, its IPC objects, message
    queues and keyrings. No two pools on the host (in any process) manage
    the same account; in a forked process the pool starts empty and claims
    accounts of its own. `user_count` (default 256) is the pool's capacity.

    The keyword-only switches confine every account of the pool, all its
    sessions and their processes; the defaults keep the host's view:
    network=False gives each hand-out a network namespace of its own with
    only loopback (shared by its sessions); private_tmp=True private /tmp,
    /var/tmp and /dev/shm per hand-out, removed at release (the home stays
    at its path); host_processes=False a /proc that shows only the
    account's own processes; setuid_programs=False sets no_new_privs, so
    set-uid and file-capability programs gain nothing. Each must be a bool.
    """

    def __new__(
        cls,
        user_count: SupportsIndex | None = None,
        *,
        network: bool = True,
        private_tmp: bool = False,
        host_processes: bool = True,
        setuid_programs: bool = True,
    ) -> Self: ...
    def allocate(self, timeout: float | None = None) -> PyUser:
        """Hands out an account; blocks while it is created (the interpreter lock is released).

        A full pool raises ValueError at once, or with `timeout` (seconds)
        waits for a release and raises TimeoutError when none came in time.
        The exception's note says why ("all N accounts are in use").
        """

    @staticmethod
    def capabilities() -> dict[str, str | None]:
        """For "memory", "pids", "cpu_percent", "usage" and "tree_kill": the mechanism
        that provides it on this host ("cgroup2", "cgroup1", "rusage") or None."""

@final
class PyUser:
    """An account handed out by a PyUserPool; a context manager that releases it.

    It goes back to its pool (its processes killed) when this object and
    all its sessions are gone, or at once with release().
    """

    def release(self) -> None:
        """Kills the account's sessions and processes, cleans up and hands it back now.

        Calling it again does nothing; afterwards every other method of
        this user and of its sessions raises ValueError.
        """

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

    def spawn(
        self, env: Mapping[str, str] | None = None, limits: Mapping[str, int] | None = None
    ) -> PyTerminalSession:
        """Starts /bin/bash as this account (through su) in its home.

        `env` replaces the inherited environment of su: the shell sees it
        plus what su sets for the account (PATH=/usr/local/bin:/usr/bin:/bin
        when env has none); `limits` maps "nproc", "as", "cpu", "fsize" and
        "nofile" to soft and hard limits (int, not bool)
        set before su starts, and "memory" (bytes, swap off), "pids" and
        "cpu_percent" (of one CPU) to limits for the session's whole tree
        (OSError when the host has no writable control group for one).
        """

    def put(self, fs: PyFs, src: str | None = "/", dest: str | None = None) -> int:
        """Copies the subtree at `src` of `fs` into the home (or `dest` inside it).

        Everything written is owned by the account, 0755/0644; existing files
        are replaced. A symbolic link or mount point in the way raises OSError
        (ELOOP, ENOTDIR, EXDEV) and nothing is written outside the home; ".."
        in `dest` raises ValueError. Returns the number of files written.
        """

    def get(self, src: str | None = None, *, max_bytes: SupportsIndex | None = 1 << 30) -> PyFs:
        """Reads the home (or `src` inside it) into a new PyFs.

        Directories and regular files only; links, FIFOs, sockets, devices and
        mount points are skipped, as is another owner's file hard-linked into
        the home; no link is followed. More than
        `max_bytes` of file content in total raises ValueError before it is read.
        """

    def exec(
        self,
        command: str | list[str] | tuple[str, ...],
        *,
        input: Buffer | None = None,
        timeout: float | None = None,
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        limits: Mapping[str, int] | None = None,
        max_output: SupportsIndex | None = None,
    ) -> Completed:
        """Runs a command as this account without a terminal and waits for it.

        A str runs through /bin/bash -c; a list or tuple is an argv whose
        program is found on the PATH of the command's environment. It runs in
        the account's home (or `cwd`), in a session of its own, with `input`
        or /dev/null as standard input, and a clean environment (HOME, USER,
        LOGNAME, SHELL, PATH, LANG) unless `env` replaces it. `limits` are
        those of spawn, for this command only ("memory", "pids" and
        "cpu_percent" for its whole tree, on control groups of its own). At
        `timeout` seconds every process of the command is killed and
        `timed_out` is set; what it left in the background is killed when the
        call returns. With
        `max_output`, each stream keeps its first max_output // 2 and last
        max_output - max_output // 2 bytes, and `truncated` is set. A failed
        start raises the OSError of its errno (FileNotFoundError for a
        missing program or cwd); Ctrl-C on the main thread kills the command.
        """

    def start(
        self,
        command: str | list[str] | tuple[str, ...],
        *,
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        limits: Mapping[str, int] | None = None,
    ) -> PyProcess:
        """Starts a command as exec does and returns it running, its three streams on pipes."""

    def username(self) -> str: ...
    def uid(self) -> int: ...
    def home(self) -> str: ...

@final
class PyTerminalSession:
    """A bash session of a PyUser; a context manager that closes it.

    Full duplex: a read of standard output, a read of standard error and a
    write may run at once on different threads; each stream serialises only
    its own calls, and close() wakes every waiting call. Every call releases
    the interpreter lock while it waits and, on the main thread, lets signal
    handlers run (Ctrl-C raises KeyboardInterrupt). A `timeout` in seconds
    bounds a wait (TimeoutError when it runs out); None waits as long as it
    takes; a negative or NaN timeout raises ValueError.
    """

    @property
    def pid(self) -> int | None:
        """The process id of su, or None once the session is closed."""

    def close(self) -> None:
        """Kills the session's whole tree and reaps it; later reads and writes raise ValueError "The process is None"."""

    def write(self, data: bytes, timeout: float | None = None) -> None:
        """Hands all of `data` to the shell's input (on a timeout, what was written stays written)."""

    def read(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes:
        """Waits for output and returns up to `buffer` (default 1024) bytes; b"" at end of stream."""

    def read_err(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes:
        """Like read, for the session's standard error."""

    def interrupt(self, signal: int | None = None) -> None:
        """Interrupts the terminal's foreground job without waiting.

        Without `signal`: Ctrl-C through the terminal when it can take it at
        once, else SIGINT to the foreground process group. A signal number
        goes to the foreground process group, never to the shell. Input the
        job left unread is thrown away.
        """

    def usage(self) -> Usage:
        """What the session's whole tree used; frozen at its end once closed."""

    def fileno(self) -> int:
        """The descriptor of standard output's read end, to wait on (select, asyncio's add_reader)."""

    def fileno_err(self) -> int:
        """The descriptor of standard error's read end, to wait on."""

    def wait(self, timeout: float | None = None) -> int:
        """Waits for su to exit and returns its exit status (-N when signal N ended it)."""

    def run(self, command: str, timeout: float | None = None, max_output: int | None = None) -> tuple[int, bytes]:
        """Runs one command line; returns its exit status and what it printed (lines end in CR LF).

        The command reads /dev/null. Output past `max_output` bytes is read
        and dropped (a result of exactly that length may be cut). What the
        shell printed before the command is kept for the next read(). The
        status and output come from the account's own shell, which its
        programs can change: for results a tenant must not forge, use
        PyUser.exec.
        """

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class PyProcess:
    """A command started by PyUser.start; a context manager that kills and reaps it.

    Full duplex like a session: reads of either stream, writes and wait()
    may run at once on different threads. kill() ends every process of the
    command and wakes every waiting call (reads then return what the pipe
    holds, then b""). The process object keeps its account from going back
    to the pool on its own; user.release() kills what is left of it.
    """

    @property
    def pid(self) -> int:
        """The process id of the command."""

    @property
    def returncode(self) -> int | None:
        """The exit status (-N when signal N ended it), or None while it runs."""

    def write(self, data: Buffer, timeout: float | None = None) -> None:
        """Hands all of `data` to the command's standard input."""

    def close_stdin(self) -> None:
        """Closes the command's standard input (it reads the end of its input)."""

    def read(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes:
        """Waits for standard output and returns up to `buffer` (default 1024) bytes; b"" at its end."""

    def read_err(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes:
        """Like read, for standard error."""

    def fileno(self) -> int:
        """The descriptor of standard output's read end, to wait on."""

    def fileno_err(self) -> int:
        """The descriptor of standard error's read end, to wait on."""

    def wait(self, timeout: float | None = None) -> int:
        """Waits for the command to exit; its status (-N when signal N ended it)."""

    def kill(self) -> None:
        """Kills the command and everything it started."""

    def close(self) -> None:
        """Kills, reaps and closes; later reads and writes raise ValueError "The process is closed"."""

    def usage(self) -> Usage:
        """What the command's whole tree used (so far, while it runs; frozen once closed)."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class Completed(structseq[int | bytes | bool | Usage], tuple[int, bytes, bytes, bool, bool, Usage]):
    """What PyUser.exec returns. Not in __all__."""

    __match_args__: Final = ("status", "stdout", "stderr", "timed_out", "truncated", "usage")
    @property
    def status(self) -> int:
        """The exit code, or -N when signal N ended the command."""

    @property
    def stdout(self) -> bytes: ...
    @property
    def stderr(self) -> bytes: ...
    @property
    def timed_out(self) -> bool:
        """True when the timeout killed the command's tree."""

    @property
    def truncated(self) -> bool:
        """True when output beyond max_output was dropped."""

    @property
    def usage(self) -> Usage: ...
