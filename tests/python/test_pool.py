"""Real throw-away accounts and bash sessions (needs root and the host tools)."""

import os
import pwd
import shutil
import signal
import subprocess
import threading
import time

import pytest

from conftest import needs_pool
from ferrowick import PyUserPool

pytestmark = needs_pool

HOME_ROOT = "/tmp/tmp_user_home"
FIRST_NAME = "test_UKUKKUUK"


def live_processes_of(uid):
    """Pids of non-zombie processes owned by `uid`."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == uid and not fields["State"].strip().startswith("Z"):
            pids.append(int(entry))
    return pids


def children_of_this_process():
    me = os.getpid()
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        if ppid == me:
            kids.append(int(entry))
    return kids


def read_until(session, user, needle, timeout=30.0):
    """Reads stdout until `needle` shows up; a watchdog kills the account's
    processes (which ends the stream) if it never does."""
    watchdog = threading.Timer(timeout, lambda: subprocess.run(["pkill", "-KILL", "-u", str(user.uid())]))
    watchdog.start()
    seen = b""
    try:
        while needle not in seen:
            chunk = session.read()
            if not chunk:
                break
            seen += chunk
    finally:
        watchdog.cancel()
    assert needle in seen, seen
    return seen


@pytest.fixture(autouse=True)
def ignore_sigpipe():
    previous = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    yield
    signal.signal(signal.SIGPIPE, previous)


def test_first_account_of_a_fresh_pool():
    user = PyUserPool().allocate()
    name, uid, home = user.username(), user.uid(), user.home()
    assert name == FIRST_NAME
    assert uid == pwd.getpwnam(name).pw_uid
    assert home == os.path.realpath(f"{HOME_ROOT}/{name}")
    st = os.stat(home)
    assert (st.st_uid, st.st_gid) == (uid, uid)
    assert os.listdir(home) == []
    assert str(user) == f"{{ username: {name}, uid: {uid}, home: {home} }}"


def test_session_runs_the_shell_as_the_account():
    user = PyUserPool().allocate()
    session = user.spawn()
    session.write(b"echo m$((40+2)) $(id -u) $PWD\n")
    out = read_until(session, user, f"m42 {user.uid()} {user.home()}".encode())
    assert len(out) > 0
    assert session.read(0) == b""
    assert session.read_err(0) == b""
    assert session.write(b"") is None
    session.close()


def test_reads_are_bounded_by_the_requested_size():
    user = PyUserPool().allocate()
    session = user.spawn()
    session.write(b"head -c 5000 /dev/zero | tr '\\0' a; echo; echo done$((1+1))\n")
    total = b""
    while b"done2" not in total:
        chunk = session.read()
        assert 0 < len(chunk) <= 1024
        total += chunk
    # A huge size reserves only what a pipe read can return.
    session.write(b"echo huge$((3+3))\n")
    got = b""
    while b"huge6" not in got:
        chunk = session.read(2**32 - 1)
        assert chunk
        got += chunk


def test_closed_session_refuses_everything():
    user = PyUserPool().allocate()
    session = user.spawn()
    assert session.close() is None
    for call in (lambda: session.read(), lambda: session.read_err(), lambda: session.write(b"x")):
        with pytest.raises(ValueError) as e:
            call()
        assert e.value.args == ("The process is None",)
    assert session.close() is None


def test_session_after_the_shell_exits():
    user = PyUserPool().allocate()
    session = user.spawn()
    session.write(b"exit\n")
    while session.read():
        pass
    assert session.read() == b""
    # su closes its output before it exits: the input pipe breaks a moment later.
    deadline = time.monotonic() + 10
    with pytest.raises(ValueError) as e:
        while time.monotonic() < deadline:
            session.write(b"echo late\n")
            time.sleep(0.05)
    assert str(e.value) == "Failed to write to the stdin of the process: Broken pipe (os error 32)"
    session.close()


def test_write_takes_bytes_only():
    user = PyUserPool().allocate()
    session = user.spawn()
    with pytest.raises(TypeError) as e:
        session.write("echo")
    assert str(e.value) == "argument 'data': 'str' object cannot be converted to 'PyBytes'"
    # `e` holds this frame through its traceback: close now rather than at
    # the next cyclic collection, so no su outlives the test.
    session.close()


def test_capacity_one_hands_out_the_same_account_again_with_a_fresh_home():
    pool = PyUserPool(1)
    seen = set()
    for cycle in range(3):
        user = pool.allocate()
        with pytest.raises(ValueError) as e:
            pool.allocate()
        assert str(e.value) == "Failed to allocate a new user account"
        assert os.listdir(user.home()) == []
        with open(os.path.join(user.home(), f"left-{cycle}"), "w") as f:
            f.write("x")
        seen.add((user.username(), user.uid()))
        del user
    assert len(seen) == 1


def test_capacity_zero_always_refuses():
    pool = PyUserPool(0)
    for _ in range(2):
        with pytest.raises(ValueError) as e:
            pool.allocate()
        assert str(e.value) == "Failed to allocate a new user account"


def test_huge_capacity_is_fine():
    user = PyUserPool(2**32 - 1).allocate()
    assert user.username() == FIRST_NAME


def test_account_is_released_only_when_user_and_sessions_are_gone():
    pool = PyUserPool(1)
    user = pool.allocate()
    session = user.spawn()
    del user
    with pytest.raises(ValueError):
        pool.allocate()
    del session
    again = pool.allocate()
    assert again.username() == FIRST_NAME


def test_release_kills_processes_that_ignore_sigterm():
    pool = PyUserPool(1)
    user = pool.allocate()
    uid = user.uid()
    session = user.spawn()
    session.write(b"trap '' TERM; sleep 1000 & echo started$((1+1))\n")
    read_until(session, user, b"started2")
    assert live_processes_of(uid)
    del session, user
    assert live_processes_of(uid) == []


def test_dropping_a_session_leaves_no_child_behind():
    before = set(children_of_this_process())
    user = PyUserPool().allocate()
    session = user.spawn()
    session.write(b"echo up$((1+1))\n")
    read_until(session, user, b"up2")
    assert set(children_of_this_process()) - before
    del session
    assert set(children_of_this_process()) - before == set()
    assert subprocess.run(["pgrep", "-f", "^su -s /bin/bash -P"], capture_output=True).stdout == b""


def test_a_blocking_read_lets_other_threads_run():
    user = PyUserPool().allocate()
    session = user.spawn()
    session.write(b"sleep 1; echo late$((1+1))\n")
    result = {}
    reader = threading.Thread(target=lambda: result.setdefault("out", read_until(session, user, b"late2")))
    reader.start()
    ticks = 0
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        ticks += 1
    assert reader.is_alive()  # still blocked in read() ...
    assert ticks > 1000  # ... while this thread kept running Python code
    reader.join(30)
    assert b"late2" in result["out"]


def test_leftover_plain_file_at_the_home_path():
    home = f"{HOME_ROOT}/{FIRST_NAME}"
    shutil.rmtree(home, ignore_errors=True)
    with open(home, "w") as f:
        f.write("not a directory")
    try:
        with pytest.raises(ValueError) as e:
            PyUserPool().allocate()
        assert str(e.value) == "Failed to remove the existing temporary home directory"
    finally:
        os.remove(home)
    assert PyUserPool().allocate().home() == home
