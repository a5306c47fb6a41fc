"""``ferrowick-shell --host``: a terminal relayed to a real bash session.

The relay allocates one throw-away account from a ``PyUserPool(1)``, spawns
its bash session and passes bytes both ways: what the user types goes to the
session's input, what the session prints (``read()`` and ``read_err()``)
comes back, until the user leaves (end of input, or ``exit``) or the shell
exits. Ctrl-C goes to the tenant's foreground command (the session's
``interrupt()``), as at any terminal; SIGTERM and SIGHUP end the relay. The
account is released on every way out.

Input that is not a terminal (a pipe, a file, a script named on the command
line) gets a quiet tenant terminal first: no echo, no prompts, no line
editing (whose escape codes would land in the output) and plain "\n" line
ends, so the output is the tenant's commands' output, once.

The session is full duplex: two reader threads wait in ``read()`` and
``read_err()`` while the caller's thread writes, each stream on its own.
Every call is bounded by a short timeout, so the threads look at the stop
flag several times a second, and a write is handed over in pieces of at
most ``PIPE_BUF`` bytes, each of which goes into the pipe whole or (on a
timeout) not at all.
"""

from __future__ import annotations

import os
import secrets
import select
import signal
import sys
import threading
import time
from typing import Any, BinaryIO, Callable

import ferrowick
from ferrowick_shell.script import EXIT_UNREADABLE, ScriptError, read_script

# How often waiting threads look at the stop flag: the timeout of each call.
POLL_SECONDS = 0.1
READ_SIZE = 4096
# A write of up to PIPE_BUF bytes goes into the pipe whole or not at all.
WRITE_CHUNK = select.PIPE_BUF
# End of input is passed on as the terminal's end-of-file character (^D), as
# often as needed: the first may end a program reading the terminal, the next
# one the shell itself.
EOF_CHAR = b"\x04"
EOF_RETRY_SECONDS = 1.0
# Turns off bracketed paste, which bash enables on the user's terminal and a
# killed shell cannot turn off itself.
RESET_TERMINAL = b"\x1b[?2004l"
# Makes the tenant's terminal a plain channel for input that is not typed:
# no echo, "\n" line ends, no line editing (so no escape codes of its own),
# no prompts, no history expansion of "!"; TERM=dumb asks programs for no
# escape codes either. The marker, spelled in two pieces, says where the
# setup's own output ends.
QUIET_SETUP = (" stty -echo -onlcr; set +o emacs +o vi +H; PS1= PS2= PS0= PROMPT_COMMAND=;"
               " export TERM=dumb; printf '%s%s\\n' fw-quiet- {token}\n")
QUIET_SETUP_SECONDS = 30.0
# What an interactive bash prints on its way out (after end of input or
# `exit`); in quiet mode it is the relay's doing, not the tenant's output.
EXIT_ANNOUNCEMENT = b"exit\n"

NOT_ROOT = (
    "ferrowick-shell: --host needs root: it creates a throw-away Unix account "
    "(useradd), prepares its home directory and starts its shell through su. "
    "Run it as root, or leave out --host for the in-memory shell."
)


class Leave(Exception):
    """Raised in the main thread by SIGTERM and SIGHUP: leave like on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Relay:
    """Moves bytes between the user and one session.

    Two reader threads, one per output stream, read through the session;
    the caller's thread sends input with `send`. `ended` is set once the
    shell's output has ended; `failure` holds the message of a session call
    that failed, if any.
    """

    def __init__(self, session: ferrowick.PyTerminalSession, out: BinaryIO, err: BinaryIO,
                 quiet: bool = False) -> None:
        self._session = session
        self.ended = threading.Event()
        self._stop = threading.Event()
        self._interrupt = threading.Event()
        self.failure: str | None = None
        self._readers = [
            threading.Thread(target=self._pump, args=(session.read, out, self.ended, quiet),
                             name="ferrowick-host-stdout", daemon=True),
            threading.Thread(target=self._pump, args=(session.read_err, err, None, False),
                             name="ferrowick-host-stderr", daemon=True),
        ]

    def start(self) -> None:
        for t in self._readers:
            t.start()

    def _pump(self, read: Callable[[int, float], bytes], sink: BinaryIO,
              at_end: threading.Event | None, drop_exit: bool) -> None:
        # With `drop_exit`, an "exit\n" that ends a piece of output waits for
        # the next piece: if the output ends there instead, it was the shell
        # announcing its own exit, and it is left out.
        held = b""
        try:
            while not self._stop.is_set():
                try:
                    data = read(READ_SIZE, POLL_SECONDS)
                except TimeoutError:
                    continue
                if not data:
                    return
                data, held = held + data, b""
                if drop_exit and data.endswith(EXIT_ANNOUNCEMENT):
                    data, held = data[: -len(EXIT_ANNOUNCEMENT)], EXIT_ANNOUNCEMENT
                sink.write(data)
                sink.flush()
        except ValueError as why:
            self.failure = str(why)
        except OSError:
            pass  # our own output is gone (a closed pipe): nobody reads this stream any more
        finally:
            if at_end is not None:
                at_end.set()

    def request_interrupt(self) -> None:
        """Asks for Ctrl-C (safe in a signal handler: the next pass_interrupt() sends it)."""
        self._interrupt.set()

    def pass_interrupt(self) -> None:
        """Sends the tenant's foreground command the Ctrl-C asked for, if any.

        Called by the caller's thread between session calls, never from the
        signal handler itself, which may run inside one.
        """
        if self._interrupt.is_set():
            self._interrupt.clear()
            try:
                self._session.interrupt()
            except ValueError:
                pass  # the shell has gone: nothing to stop

    def send(self, data: bytes) -> bool:
        """Hands `data` to the shell's input; False once the shell is gone."""
        view = memoryview(data)
        while view:
            self.pass_interrupt()
            if self.ended.is_set() or self._stop.is_set():
                return False
            try:
                self._session.write(bytes(view[:WRITE_CHUNK]), POLL_SECONDS)
            except TimeoutError:
                continue  # nothing of the piece was written: try again
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
            deadline = time.monotonic() + EOF_RETRY_SECONDS
            while not self.ended.wait(POLL_SECONDS) and time.monotonic() < deadline:
                self.pass_interrupt()

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


def _input_fd() -> int | None:
    if sys.stdin is None:
        return None
    return sys.stdin.fileno()


def _relay_input(relay: Relay, source: int | bytes | None) -> None:
    """Passes the input (a descriptor, or a script's bytes) on until it ends or the shell exits."""
    if isinstance(source, bytes):
        if relay.send(source):
            relay.end_input(source[-1:])
        return
    last = b""
    while source is not None and not relay.ended.is_set():
        relay.pass_interrupt()
        ready, _, _ = select.select([source], [], [], POLL_SECONDS)
        if not ready:
            continue
        data = os.read(source, READ_SIZE)
        if not data:
            break
        if not relay.send(data):
            return
        last = data[-1:]
    relay.end_input(last)


def _quieten(session: ferrowick.PyTerminalSession) -> bytes:
    """Sets the tenant's terminal up for input that is not typed (QUIET_SETUP).

    Everything the shell prints up to the setup's marker line (its first
    prompt and the echo of the setup line) is dropped; returns what came
    after it.
    """
    token = secrets.token_hex(8)
    session.write(QUIET_SETUP.format(token=token).encode("ascii"), QUIET_SETUP_SECONDS)
    marker = f"fw-quiet-{token}".encode("ascii")
    seen = b""
    deadline = time.monotonic() + QUIET_SETUP_SECONDS
    while (at := seen.find(marker)) < 0 or seen.find(b"\n", at) < 0:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError(f"the shell did not answer within {QUIET_SETUP_SECONDS:g} s")
        try:
            chunk = session.read(READ_SIZE, min(left, POLL_SECONDS))
        except TimeoutError:
            continue
        if not chunk:
            raise RuntimeError("the shell exited while starting")
        seen += chunk
    return seen[seen.find(b"\n", at) + 1:]


def _raise_leave(signum: int, _frame: object) -> None:
    raise Leave(signum)


class _TerminalMode:
    """Character-at-a-time input without local echo while the relay runs.

    The remote shell echoes and edits lines itself, and its terminal has
    already turned "\n" into "\r\n"; Ctrl-C still reaches this process as
    SIGINT, which the relay passes on to the tenant's foreground command.
    Set before anything is relayed and without flushing, so that nothing
    typed early is echoed twice or thrown away.
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


def _relay_session(script: bytes | None, out: BinaryIO, err: BinaryIO) -> None:
    """Allocates an account, relays to its shell, then releases everything.

    `script` is the input when given, else standard input is. The release
    runs on every way out: the session is closed (su killed and reaped),
    then the account's processes are killed and it goes back to its pool
    when the last reference to it is dropped here.
    """
    fd = _input_fd() if script is None else None
    quiet = script is not None or fd is None or not os.isatty(fd)
    original_int = signal.getsignal(signal.SIGINT)
    pool: ferrowick.PyUserPool | None = None
    user: ferrowick.PyUser | None = None
    session: ferrowick.PyTerminalSession | None = None
    relay: Relay | None = None
    try:
        with _TerminalMode(fd):
            pool = ferrowick.PyUserPool(1)
            user = pool.allocate()
            session = user.spawn()
            if quiet:
                out.write(_quieten(session))
                out.flush()
            relay = Relay(session, out, err, quiet)
            forward = relay.request_interrupt
            signal.signal(signal.SIGINT, lambda _signum, _frame: forward())
            relay.start()
            try:
                _relay_input(relay, script if script is not None else fd)
                relay.stop(drain_seconds=5.0)
            except BaseException:
                relay.stop(drain_seconds=0.0)
                raise
            if relay.failure is not None:
                raise RuntimeError(f"the session failed: {relay.failure}")
            if relay.ended.is_set():
                # The shell has ended: let su follow it, so that closing only reaps.
                try:
                    session.wait(timeout=5.0)
                except TimeoutError:
                    pass
    finally:
        # A Ctrl-C now must not cut the release short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            if session is not None:
                session.close()
            # The relay's threads held the session's bound methods: drop every
            # reference so that the objects go now, not at exit.
            relay = session = user = pool = None
        finally:
            signal.signal(signal.SIGINT, original_int)


def run_host(script: str | None = None) -> int:
    """Runs the relay; returns the process exit status."""
    if os.geteuid() != 0:
        print(NOT_ROOT, file=sys.stderr)
        return 2
    try:
        data = None if script is None else "".join(line + "\n" for line in read_script(script)).encode()
    except ScriptError as why:
        print(f"ferrowick-shell: {why}", file=sys.stderr)
        return EXIT_UNREADABLE
    out = sys.stdout.buffer
    old_handlers = {s: signal.signal(s, _raise_leave) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        _relay_session(data, out, sys.stderr.buffer)
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
