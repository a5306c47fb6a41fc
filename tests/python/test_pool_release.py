"""Explicit release, waiting allocations, forked hosts and signal handlers
during account creation: what only the binding can get wrong (needs root)."""

import multiprocessing
import os
import signal
import subprocess
import sys
import threading

import pytest

from conftest import needs_pool
from ferrowick import PyFs, PyUserPool
from test_pool import ignore_sigpipe, live_processes_of, read_until  # noqa: F401 (fixture)

pytestmark = needs_pool

RELEASED = "The account was released"
FOREIGN = "The account belongs to the process that allocated it"


def test_with_releases_on_exit_and_everything_refuses_afterwards():
    pool = PyUserPool(1)
    with pool.allocate() as user:
        session = user.spawn()
        session.write(b"sleep 1000 & echo up$((1+1))\n")
        read_until(session, user, b"up2")
        uid = user.uid()
    assert live_processes_of(uid) == []
    calls = [user.username, user.uid, user.home, user.spawn, lambda: user.put(PyFs()),
             session.read, session.read_err, lambda: session.write(b"x"), session.wait,
             lambda: session.run("true"), session.interrupt, session.fileno, session.fileno_err]
    for call in calls:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == RELEASED
    assert session.pid is None  # closed and reaped on the first refused call
    user.release()  # again: nothing happens
    session.close()
    again = pool.allocate()  # handed back although `user` and `session` still exist
    assert again.uid() == uid


def test_a_full_pool_notes_why_and_a_timeout_waits_for_a_release():
    pool = PyUserPool(1)
    held = pool.allocate()
    with pytest.raises(ValueError) as e:
        pool.allocate()
    assert (str(e.value), e.value.__notes__) == ("Failed to allocate a new user account", ["all 1 account is in use"])
    with pytest.raises(TimeoutError) as e:
        pool.allocate(timeout=0.05)
    assert e.value.__notes__ == ["all 1 account is in use"]

    name = held.username()
    threading.Timer(0.2, held.release).start()
    assert pool.allocate(timeout=30).username() == name


def test_a_forked_process_gets_accounts_of_its_own():
    pool = PyUserPool(4)
    user = pool.allocate()
    with pool.allocate() as spare:  # a free account in the pool the child inherits
        free = spare.username()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(read)
            try:
                user.username()
            except ValueError as e:
                refused = str(e) == FOREIGN
            mine = pool.allocate()
            os.write(write, f"{refused} {mine.username()}\n".encode())
            mine.release()
            code = 0
        finally:
            os._exit(code)
    os.close(write)
    with os.fdopen(read) as f:
        refused, name = f.read().split()
    assert os.waitpid(pid, 0)[1] == 0
    assert refused == "True"
    assert name not in (user.username(), free)
    assert pool.allocate().username() == free  # the parent's pool is as it was


def _worker_account(_):
    # Kept for the worker's life, so a worker that runs two tasks holds two.
    WORKER_KEPT.append(WORKER_POOL.allocate())
    return WORKER_KEPT[-1].username()


WORKER_POOL = None
WORKER_KEPT = []


def test_fork_workers_of_multiprocessing_hold_distinct_accounts():
    global WORKER_POOL
    WORKER_POOL = PyUserPool(8)
    mine = WORKER_POOL.allocate()
    for spare in [WORKER_POOL.allocate() for _ in range(3)]:
        spare.release()  # free accounts in the pool the workers inherit
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(3) as workers:
        names = workers.map(_worker_account, range(3), chunksize=1)
    assert len(set(names) | {mine.username()}) == 4


SLOW_ID = """#!/bin/sh
sleep 0.5
exec {real} "$@"
"""


def test_a_signal_handler_dropping_a_user_during_account_creation_does_not_deadlock(tmp_path):
    """Runs in a child with a watchdog: a deadlock would hang for ever."""
    script = f"""
import os, signal, sys
from ferrowick import PyUserPool
pool = PyUserPool(2)
held = [pool.allocate()]
os.environ["PATH"] = {str(tmp_path)!r} + ":" + os.environ["PATH"]
dropped = []
def handler(signum, frame):
    dropped.append(held.pop().username())  # released in here: takes the pool lock
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
second = pool.allocate()  # a new account: `id` runs under the pool lock
print(len(dropped), second.username() != dropped[0], flush=True)
"""
    real = subprocess.run(["sh", "-c", "command -v id"], capture_output=True, text=True).stdout.strip()
    slow = tmp_path / "id"
    slow.write_text(SLOW_ID.format(real=real))
    slow.chmod(0o755)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["1", "True"], out.stderr


BOMB_HOST = """
import os, sys, time
with open(sys.argv[1] + "/cgroup.procs", "w") as f:
    f.write(str(os.getpid()))  # this host and all it starts: at most 1500 tasks
from ferrowick import PyUserPool
from test_pool import live_processes_of
pool = PyUserPool(1)
user = pool.allocate()
uid = user.uid()
session = user.spawn(limits={"nproc": 3000})
session.write(b"bomb() { bomb | bomb & }; bomb; echo lit$((1+1))\\n")
seen = b""
while b"lit2" not in seen:
    seen += session.read()
def filled():
    # Counted over the group and the session groups below it.
    with open(sys.argv[1] + "/pids.current") as f:
        return int(f.read()) >= 1450
deadline = time.monotonic() + 20
while not filled() and time.monotonic() < deadline:  # until the bomb fills the limit
    time.sleep(0.05)
full = filled()
before = len(live_processes_of(uid))
start = time.monotonic()
del session, user
print(before, len(live_processes_of(uid)), time.monotonic() - start, int(full), flush=True)
"""


@pytest.fixture
def pids_cgroup():
    """A pids cgroup of at most 1500 tasks below this process's own; every
    task in it (this test's host child and what it started) is killed and
    the group removed at the end."""
    with open("/proc/self/cgroup") as f:
        own = [line.rstrip("\n").split(":", 2)[2] for line in f if line.split(":")[1] == "pids"]
    base = "/sys/fs/cgroup/pids" + (own[0] if own else "")
    if not own or not os.access(base, os.W_OK):
        pytest.skip("no writable pids cgroup (v1) here")
    path = os.path.join(base, f"ferrowick-release-test-{os.getpid()}")
    os.mkdir(path)
    try:
        with open(path + "/pids.max", "w") as f:
            f.write("1500")
        yield path
    finally:
        for _ in range(200):
            with open(path + "/cgroup.procs") as f:
                pids = [int(p) for p in f.read().split()]
            if not pids:
                break
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            threading.Event().wait(0.05)
        os.rmdir(path)


def test_a_fork_bomb_filling_the_hosts_task_limit_is_killed_without_a_fork(pids_cgroup):
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", BOMB_HOST, pids_cgroup], capture_output=True, text=True,
                         timeout=120, cwd=here)
    assert "PanicException" not in out.stderr
    before, after, seconds, full = out.stdout.split()
    assert full == "1"  # the bomb filled the host's task limit
    assert int(after) == 0
    print(f"released {before} tenant processes in {float(seconds):.3f} s")


def test_set_uid_copies_left_in_run_lock_and_in_a_narrowed_directory_go_with_the_release():
    if not os.path.isdir("/run/lock") or not os.stat("/run/lock").st_mode & 0o002:
        pytest.skip("no world-writable /run/lock here")
    pool = PyUserPool(2)
    tenant, other = pool.allocate(), pool.allocate()
    tag = f"fw{os.getpid()}"
    narrowed, locked = f"/tmp/{tag}-narrowed", f"/run/lock/{tag}-sh"
    try:
        with other.spawn() as shell:
            assert shell.run(f"mkdir {narrowed} && chmod 777 {narrowed}", timeout=30)[0] == 0
        with tenant.spawn() as shell:
            copies = f"for f in {locked} {narrowed}/sh; do cp /bin/bash $f && chmod 4755 $f || exit 1; done"
            assert shell.run(f"({copies})", timeout=30)[0] == 0
        with other.spawn() as shell:  # the tenant can no longer write there
            assert shell.run(f"chmod 755 {narrowed}", timeout=30)[0] == 0
        tenant.release()
        assert not os.path.lexists(locked)
        assert not os.path.lexists(f"{narrowed}/sh")
        assert os.path.isdir(narrowed)  # the other account's directory stays
    finally:
        other.release()
        for path in (locked, f"{narrowed}/sh"):
            if os.path.lexists(path):
                os.remove(path)
    assert not os.path.lexists(narrowed)
