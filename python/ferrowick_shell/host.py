"""``ferrowick-shell --host``: a terminal relayed to a real bash session.

The relay allocates one throw-away account from a ``PyUserPool(1)``, spawns
its bash session and passes bytes both ways: what the user types goes to the
session's input, what the session prints (``read()`` and ``read_err()``)
comes back, until the user leaves (end of input) or the shell exits. The
account is released on every way out, Ctrl-C included.

Why the relay asks the kernel before every session call: each call of a
session holds that session's own mutex for as long as it blocks. A reader
blocked in ``read()`` while the shell waits for input would therefore keep a
writer out for good -- and the shell's output would never come, because it
waits for exactly that input. The relay never makes a call that can block:
it finds the host's ends of the session's three pipes and waits with
``select`` until a read has data (or end of stream) or a write of at most
``PIPE_BUF`` bytes fits, and only then calls ``read``/``read_err``/``write``.
Each call then returns at once, so the mutex is only ever held for an
instant and neither stream can starve the other or the input.
"""

from __future__ import annotations

import os
import select
import signal
import sys
import threading
import time
from typing import Any, BinaryIO, Callable, NamedTuple

import ferrowick

# How often waiting threads look at the stop flag.
POLL_SECONDS = 0.1
READ_SIZE = 4096
# A pipe that reports "writable" takes a write of up to PIPE_BUF bytes whole.
WRITE_CHUNK = select.PIPE_BUF
# End of input is passed on as the terminal's end-of-file character (^D), as
# often as needed: the first may end a program reading the terminal, the next
# one the shell itself.
EOF_CHAR = b"\x04"
EOF_RETRY_SECONDS = 1.0
# Turns off bracketed paste, which bash enables on the user's terminal and a
# killed shell cannot turn off itself.
RESET_TERMINAL = b"\x1b[?2004l"

NOT_ROOT = (
    "ferrowick-shell: --host needs root: it creates a throw-away Unix account "
    "(useradd), prepares its home directory and starts its shell through su. "
    "Run it as root, or leave out --host for the in-memory shell."
)


class SessionPipes(NamedTuple):
    """The host's ends of a session's pipes: the shell's input and its two outputs."""

    stdin: int
    stdout: int
    stderr: int


class Leave(Exception):
    """Raised in the main thread by SIGTERM and SIGHUP: leave like on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _stat_fields(pid: str) -> tuple[str, int]:
    """The command name and parent pid of a process, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat", encoding="utf-8", errors="replace") as f:
        stat = f.read()
    # The name sits in parentheses and may itself contain blanks or ')'.
    name = stat[stat.index("(") + 1 : stat.rindex(")")]
    ppid = int(stat[stat.rindex(")") + 2 :].split()[1])
    return name, ppid


def _su_children() -> list[str]:
    me = os.getpid()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            name, ppid = _stat_fields(pid)
        except (OSError, ValueError):
            continue  # gone meanwhile, or not ours to read
        if ppid == me and name == "su":
            found.append(pid)
    return found


def find_session_pipes(timeout: float = 5.0) -> SessionPipes:
    """Finds our ends of the pipes of the one `su` child this process runs.

    Matches the pipes on the child's descriptors 0, 1 and 2 with the pipe
    descriptors of this process. Raises RuntimeError when there is not
    exactly one such child or its pipes are not all found.
    """
    deadline = time.monotonic() + timeout
    while True:
        children = _su_children()
        if len(children) == 1 or time.monotonic() >= deadline:
            break
        time.sleep(0.01)
    if len(children) != 1:
        raise RuntimeError(f"expected one su child process, found {len(children)}")
    pid = children[0]
    wanted = [os.readlink(f"/proc/{pid}/fd/{n}") for n in (0, 1, 2)]
    ours: dict[str, int] = {}
    for entry in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink(f"/proc/self/fd/{entry}")
        except OSError:
            continue  # the descriptor of the listing itself, already closed
        if link.startswith("pipe:"):
            ours[link] = int(entry)
    try:
        fds = [ours[link] for link in wanted]
    except KeyError:
        raise RuntimeError(f"the pipes of su ({', '.join(wanted)}) are not open in this process") from None
    return SessionPipes(*fds)


class Relay:
    """Moves bytes between the user and one session without ever blocking in it.

    Two reader threads, one per output stream, wait until their pipe has
    data and then read it through the session; the caller's thread sends
    input with `send`. `ended` is set once the shell's output has ended;
    `failure` holds the message of a session call that failed, if any.
    """

    def __init__(self, session: ferrowick.PyTerminalSession, pipes: SessionPipes,
                 out: BinaryIO, err: BinaryIO) -> None:
        self._session = session
        self._pipes = pipes
        self.ended = threading.Event()
        self._stop = threading.Event()
        self.failure: str | None = None
        self._readers = [
            threading.Thread(target=self._pump, args=(pipes.stdout, session.read, out, self.ended),
                             name="ferrowick-host-stdout", daemon=True),
            threading.Thread(target=self._pump, args=(pipes.stderr, session.read_err, err, None),
                             name="ferrowick-host-stderr", daemon=True),
        ]

    def start(self) -> None:
        for t in self._readers:
            t.start()

    def _pump(self, fd: int, read: Callable[[int], bytes], sink: BinaryIO,
              at_end: threading.Event | None) -> None:
        try:
            while not self._stop.is_set():
                ready, _, _ = select.select([fd], [], [], POLL_SECONDS)
                if not ready:
                    continue
                data = read(READ_SIZE)  # data or end of stream is waiting: returns at once
                if not data:
                    return
                sink.write(data)
                sink.flush()
        except ValueError as why:
            self.failure = str(why)
        except OSError:
            pass  # our own output is gone (a closed pipe): nobody reads this stream any more
        finally:
            if at_end is not None:
                at_end.set()

    def send(self, data: bytes) -> bool:
        """Hands `data` to the shell's input; False once the shell is gone."""
        view = memoryview(data)
        while view:
            while True:
                if self.ended.is_set() or self._stop.is_set():
                    return False
                _, ready, _ = select.select([], [self._pipes.stdin], [], POLL_SECONDS)
                if ready:
                    break
            try:
                self._session.write(bytes(view[:WRITE_CHUNK]))
            except ValueError:
                return False  # broken pipe: the shell has exited
            view = view[WRITE_CHUNK:]
        return True

    def end_input(self, last_byte: bytes) -> None:
        """The user has no more to say: lets the shell finish and exit."""
        if last_byte not in (b"", b"\n", b"\r") and not self.send(b"\n"):
            return
        while not self.ended.is_set():
            if not self.send(EOF_CHAR):
                return
            self.ended.wait(EOF_RETRY_SECONDS)

    def stop(self, drain_seconds: float) -> None:
        """Waits up to `drain_seconds` for both streams to end, then stops the readers.

        After this no thread looks at the pipes, so the session may be closed.
        """
        deadline = time.monotonic() + drain_seconds
        for t in self._readers:
            t.join(max(0.0, deadline - time.monotonic()))
        self._stop.set()
        for t in self._readers:
            t.join()


def _input_fd(script: str | None) -> int | None:
    if script is not None:
        return os.open(script, os.O_RDONLY | os.O_CLOEXEC)
    if sys.stdin is None:
        return None
    return sys.stdin.fileno()


def _relay_input(relay: Relay, fd: int | None) -> None:
    """Passes the input on until it ends or the shell exits."""
    last = b""
    while fd is not None and not relay.ended.is_set():
        ready, _, _ = select.select([fd], [], [], POLL_SECONDS)
        if not ready:
            continue
        data = os.read(fd, READ_SIZE)
        if not data:
            break
        if not relay.send(data):
            return
        last = data[-1:]
    relay.end_input(last)


def _raise_leave(signum: int, _frame: object) -> None:
    raise Leave(signum)


class _TerminalMode:
    """Character-at-a-time input without local echo while the relay runs.

    The remote shell echoes and edits lines itself, and its terminal has
    already turned "\n" into "\r\n"; Ctrl-C still reaches this process as
    SIGINT and ends the relay. Set before anything is relayed and without
    flushing, so that nothing typed early is echoed twice or thrown away.
    """

    def __init__(self, fd: int | None) -> None:
        self._fd = fd if fd is not None and os.isatty(fd) else None
        self._saved: list[Any] | None = None

    def __enter__(self) -> None:
        if self._fd is None:
            return
        import termios

        self._saved = termios.tcgetattr(self._fd)
        mode = termios.tcgetattr(self._fd)
        mode[1] &= ~termios.OPOST
        mode[3] &= ~(termios.ECHO | termios.ICANON)
        mode[6][termios.VMIN] = 1
        mode[6][termios.VTIME] = 0
        termios.tcsetattr(self._fd, termios.TCSADRAIN, mode)

    def __exit__(self, *exc: object) -> None:
        if self._fd is not None and self._saved is not None:
            import termios

            termios.tcsetattr(self._fd, termios.TCSADRAIN, self._saved)


def _relay_session(script: str | None, out: BinaryIO, err: BinaryIO) -> None:
    """Allocates an account, relays to its shell, then releases everything.

    The release runs on every way out: the session is closed (su killed and
    reaped), then the account's processes are killed and it goes back to its
    pool when the last reference to it is dropped here.
    """
    fd = _input_fd(script)
    pool: ferrowick.PyUserPool | None = None
    user: ferrowick.PyUser | None = None
    session: ferrowick.PyTerminalSession | None = None
    relay: Relay | None = None
    try:
        with _TerminalMode(fd):
            pool = ferrowick.PyUserPool(1)
            user = pool.allocate()
            session = user.spawn()
            relay = Relay(session, find_session_pipes(), out, err)
            relay.start()
            try:
                _relay_input(relay, fd)
                relay.stop(drain_seconds=5.0)
            except BaseException:
                relay.stop(drain_seconds=0.0)
                raise
            if relay.failure is not None:
                raise RuntimeError(f"the session failed: {relay.failure}")
    finally:
        # A second Ctrl-C must not cut the release short.
        previous_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            if fd is not None and script is not None:
                os.close(fd)
            if session is not None:
                session.close()
            # The relay's threads held the session's bound methods: drop every
            # reference so that the objects go now, not at exit.
            relay = session = user = pool = None
        finally:
            signal.signal(signal.SIGINT, previous_int)


def run_host(script: str | None = None) -> int:
    """Runs the relay; returns the process exit status."""
    if os.geteuid() != 0:
        print(NOT_ROOT, file=sys.stderr)
        return 2
    out = sys.stdout.buffer
    old_handlers = {s: signal.signal(s, _raise_leave) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        _relay_session(script, out, sys.stderr.buffer)
        return 0
    except (KeyboardInterrupt, Leave) as why:
        if out.isatty():
            out.write(RESET_TERMINAL)
            out.flush()
        return 128 + (why.signum if isinstance(why, Leave) else signal.SIGINT)
    except (ValueError, OSError, RuntimeError) as why:
        print(f"ferrowick-shell: {why}", file=sys.stderr)
        return 1
    finally:
        for s, h in old_handlers.items():
            signal.signal(s, h)
