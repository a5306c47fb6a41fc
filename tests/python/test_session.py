"""PyTerminalSession across threads, timeouts and signals: what only the
binding can get wrong (the interpreter lock, signal handlers, argument and
result conversion). The session's own semantics are tested in C++."""

import math
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import needs_pool
from ferrowick import PyUserPool

pytestmark = needs_pool


@pytest.fixture
def session():
    previous = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    session = PyUserPool(1).allocate().spawn()
    session.run("true", timeout=30)  # the shell is up
    with pytest.raises(TimeoutError):
        while True:  # and its prompt is read: the shell is quiet now
            session.read(65536, timeout=0.2)
    yield session
    session.close()
    signal.signal(signal.SIGPIPE, previous)


def in_thread(call):
    """Starts call() in a daemon thread; returns the thread and a dict that
    gets the call's "result" or "error"."""
    outcome = {}

    def target():
        try:
            outcome["result"] = call()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            outcome["error"] = e

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread, outcome


def test_streams_are_full_duplex_and_close_wakes_blocked_reads(session):
    reader, read = in_thread(lambda: session.read(4096))
    stderr_reader, read_err = in_thread(session.read_err)
    time.sleep(0.2)
    assert reader.is_alive() and stderr_reader.is_alive()
    # Another thread's write goes through while both reads wait ...
    writer, written = in_thread(lambda: session.write(b"echo up$((1+1))\n"))
    writer.join(10)
    assert written == {"result": None}
    reader.join(10)
    assert read["result"]  # ... and the shell answers it
    # close() from yet another thread wakes the read of the quiet stream.
    start = time.monotonic()
    closer, closed = in_thread(session.close)
    stderr_reader.join(5)
    assert time.monotonic() - start < 1
    closer.join(5)
    assert closed == {"result": None}
    assert str(read_err["error"]) == "The process is None"
    assert session.pid is None
    for call in (session.fileno, session.read, lambda: session.write(b"x")):
        with pytest.raises(ValueError) as e:
            call()
        assert e.value.args == ("The process is None",)
    assert session.close() is None


def test_timeouts(session):
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="^Timed out waiting for stdout$"):
        session.read(timeout=0.3)
    assert 0.29 <= time.monotonic() - start < 5
    session.write(b"echo later$((2+3))\n", timeout=5)
    seen = b""
    while b"later5" not in seen:
        seen += session.read(timeout=10)
    with pytest.raises(TimeoutError):
        session.read_err(None, 0)
    assert session.read(0, timeout=0) == b""


@pytest.mark.parametrize(
    "timeout, error, message",
    [
        (-1, ValueError, "argument 'timeout': must be a non-negative number of seconds"),
        (math.nan, ValueError, "argument 'timeout': must be a non-negative number of seconds"),
        ("1", TypeError, "argument 'timeout': must be real number, not str"),
    ],
)
def test_bad_timeouts(session, timeout, error, message):
    for call in (lambda: session.read(timeout=timeout), lambda: session.run("true", timeout)):
        with pytest.raises(error) as e:
            call()
        assert str(e.value) == message


def test_ctrl_c_during_a_read_in_the_main_thread(session):
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        session.read(timeout=20)
    assert time.monotonic() - start < 1.5
    # The shell's own Ctrl-C: interrupt() stops a command that run() gave up on.
    with pytest.raises(TimeoutError, match="^Timed out waiting for the command to finish$"):
        session.run("sleep 100", timeout=0.5)
    assert session.interrupt() is None
    assert session.run("echo still $((1+1))", timeout=20) == (0, b"still 2\r\n")


def test_ctrl_c_ends_the_program_while_another_thread_reads():
    script = textwrap.dedent(
        """
        import threading, ferrowick
        session = ferrowick.PyUserPool(1).allocate().spawn()
        def drain():
            while session.read():
                pass
        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        print("ready", flush=True)
        reader.join()
        """
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"ready\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    # As any program that Ctrl-C ends: the traceback, then death by SIGINT.
    assert child.returncode == -signal.SIGINT
    assert err.rstrip().endswith(b"KeyboardInterrupt"), err


def test_run_and_interrupt_arguments(session):
    assert session.run("seq 100000", max_output=6) == (0, b"1\r\n2\r\n")
    session.interrupt(signal=signal.SIGTERM)  # an IntEnum; the idle shell is never signalled
    for bad, error in ((0, ValueError), (-1, OverflowError), ("INT", TypeError)):
        with pytest.raises(error):
            session.interrupt(bad)
    with pytest.raises(OverflowError):
        session.run("true", max_output=-1)
    assert session.run("echo after", timeout=20) == (0, b"after\r\n")


def test_descriptors_and_wait(session):
    # The descriptor is for waiting: select() says when read() has data.
    session.write(b"echo ready\n")
    assert select.select([session.fileno()], [], [], 10)[0] == [session.fileno()]
    assert session.read(timeout=0)
    assert isinstance(session.pid, int) and session.fileno_err() > 2
    session.write(b"exit 3\n")
    assert session.wait(timeout=20) == 3
