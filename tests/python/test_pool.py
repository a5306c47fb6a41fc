"""Real throw-away accounts and bash sessions (needs root and the host tools)."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
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


def managed(name):
    """True when a live pool (of any process) manages the account `name`."""
    return any(a[0] == name and a[2] for a in PyUserPool._host_accounts())


def test_first_account_of_a_fresh_pool():
    quiet = not managed(FIRST_NAME)
    previous = os.umask(0o002)
    try:
        user = PyUserPool().allocate()
    finally:
        os.umask(previous)
    name, uid, home = user.username(), user.uid(), user.home()
    if quiet:
        assert name == FIRST_NAME
    assert uid == pwd.getpwnam(name).pw_uid
    assert home == os.path.realpath(f"{HOME_ROOT}/{name}")
    st = os.stat(home)
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (uid, uid, 0o700)
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
    assert user.username().startswith("test_")


def test_account_is_released_only_when_user_and_sessions_are_gone():
    pool = PyUserPool(1)
    user = pool.allocate()
    session = user.spawn()
    name = user.username()
    del user
    with pytest.raises(ValueError):
        pool.allocate()
    del session
    again = pool.allocate()
    assert again.username() == name


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
    su = session.pid
    del session
    assert set(children_of_this_process()) - before == set()
    # Only this session's su: other pools on the host may have shells of their own.
    try:
        with open(f"/proc/{su}/cmdline", "rb") as f:
            assert not f.read().startswith(b"su\0")
    except FileNotFoundError:
        pass


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


def test_an_account_that_cannot_be_prepared_is_set_aside(capfd):
    quiet = not managed(FIRST_NAME)
    home = f"{HOME_ROOT}/{FIRST_NAME}"
    shutil.rmtree(home, ignore_errors=True)
    with open(home, "w") as f:
        f.write("not a directory")
    try:
        user = PyUserPool(1).allocate()
        assert user.username() != FIRST_NAME
        if quiet:
            assert (f"Setting the account aside: {FIRST_NAME}: "
                    "Failed to remove the existing temporary home directory") in capfd.readouterr().err
    finally:
        os.remove(home)


# ---- the pool as a sandbox -----------------------------------------------------

TAG = f"fw{os.getpid()}"
SHARED_PLACES = ("/tmp", "/var/tmp", "/dev/shm")

# A tenant that leaves something of every kind behind: files, a FIFO, a
# socket, a directory tree, a link to a root-owned file, a System V shared
# memory segment, and processes that left its session.
LITTER = (
    "cd /tmp; for d in /tmp /var/tmp /dev/shm; do echo x > $d/{tag}-file; mkfifo $d/{tag}-fifo;"
    " mkdir -p $d/{tag}-dir/a/b; echo x > $d/{tag}-dir/a/b/f; done;"
    " python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/tmp/{tag}-sock\")';"
    " ln -s {target} /tmp/{tag}-link; ipcmk -M 4096 >/dev/null;"
    " nohup sleep 1000 >/dev/null 2>&1 & setsid sleep 1001 & echo littered$((1+1))\n"
)

CHILD_TENANT = """
import os, signal, sys, time
signal.signal(signal.SIGPIPE, signal.SIG_IGN)
from ferrowick import PyUserPool
user = PyUserPool(1).allocate()
session = user.spawn()
session.write(sys.argv[1].encode())
seen = b""
while b"littered2" not in seen:
    seen += session.read()
print(user.username(), flush=True)
if sys.argv[2] == "wait":
    time.sleep(1000)
"""


def leftovers_of(uid):
    """What of `uid` is still on the host: live processes, entries in the
    shared places (one level down is where the tenant put them) and System V
    IPC objects."""
    found = [f"pid {p}" for p in live_processes_of(uid)]
    for place in SHARED_PLACES:
        for entry in os.scandir(place):
            if entry.stat(follow_symlinks=False).st_uid == uid:
                found.append(entry.path)
    for table in ("shm", "msg", "sem"):
        with open(f"/proc/sysvipc/{table}") as f:
            header = f.readline().split()
            for line in f:
                row = dict(zip(header, line.split()))
                if int(row["uid"]) == uid or int(row["cuid"]) == uid:
                    found.append(f"ipc {table} {row[header[1]]}")
    return found


def allocate_named(name, attempts=8):
    """An account `name` from a new pool (other runs may hold earlier names)."""
    pool, held = PyUserPool(attempts), []
    for _ in range(attempts):
        user = pool.allocate()
        if user.username() == name:
            return user
        held.append(user)
    pytest.skip(f"{name} is managed elsewhere")


@pytest.fixture
def root_target():
    path = f"/tmp/{TAG}-target"
    with open(path, "w") as f:
        f.write("root's")
    yield path
    os.remove(path)


@pytest.mark.parametrize("end", ["release", "sigkill"])
def test_nothing_of_a_tenant_reaches_the_next_one(end, root_target):
    """Leftovers and escaped processes are gone at the next hand-out, also
    when the process that held the account was killed without releasing it."""
    litter = LITTER.format(tag=TAG, target=root_target)
    child = subprocess.Popen([sys.executable, "-c", CHILD_TENANT, litter, "wait" if end == "sigkill" else "exit"],
                             stdout=subprocess.PIPE, text=True)
    try:
        name = child.stdout.readline().strip()
        assert name.startswith("test_")
        uid = pwd.getpwnam(name).pw_uid
        if end == "sigkill":
            assert leftovers_of(uid)  # the litter is there to be found
            child.send_signal(signal.SIGKILL)
        child.wait(60)
        user = allocate_named(name)
        assert leftovers_of(uid) == []
        with open(root_target) as f:
            assert f.read() == "root's"  # the link was removed, never followed
        del user
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("cap", ["limits", "ulimit"])
def test_a_fork_bomb_is_gone_when_the_account_is_released(cap):
    """Capped (the host must survive the test) either by limits= or by the
    tenant's own shell; either way release leaves no process of it."""
    pool = PyUserPool(1)
    user = pool.allocate()
    uid = user.uid()
    session = user.spawn(limits={"nproc": 2000}) if cap == "limits" else user.spawn()
    if cap == "ulimit":
        session.write(b"ulimit -u 1500\n")
    session.write(b"bomb() { bomb | bomb & }; bomb; echo lit$((1+1))\n")
    read_until(session, user, b"lit2")
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline and len(live_processes_of(uid)) < 200:
        time.sleep(0.05)
    assert len(live_processes_of(uid)) >= 200
    del session, user
    assert live_processes_of(uid) == []


def test_a_forked_child_leaves_the_parents_objects_alone():
    pool = PyUserPool()
    user = pool.allocate()
    session = user.spawn()
    pid = os.fork()
    if pid == 0:
        # Destroying the inherited copies must kill, reap and release nothing.
        del session, user, pool
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    session.write(b"echo alive$((1+1))\n")
    read_until(session, user, b"alive2")


def test_env_and_limits_reach_the_session():
    os.environ["FERROWICK_HOST_SECRET"] = "s3cret"
    try:
        user = PyUserPool().allocate()
        inherited = user.spawn()
        chosen = user.spawn(env={"PATH": "/usr/bin:/bin", "GREETING": "hi"},
                            limits={"nproc": 321, "nofile": 99, "fsize": 1 << 20, "cpu": 100, "as": 1 << 32})
    finally:
        del os.environ["FERROWICK_HOST_SECRET"]
    line = b"echo [$FERROWICK_HOST_SECRET/$GREETING] $(ulimit -u) $(ulimit -n) $(ulimit -f) $(ulimit -t) $(ulimit -v) end$((1+1))\n"
    inherited.write(line)
    assert b"[s3cret/]" in read_until(inherited, user, b"end2")
    chosen.write(line)
    out = read_until(chosen, user, b"end2")
    assert b"[/hi]" in out
    assert b"[/hi] 321 99 1024 100 4194304 end2" in out  # bash counts -f and -v in KiB


@pytest.mark.parametrize("kwargs, error, text", [
    ({"env": {1: "x"}}, TypeError, "argument 'env': names and values must be str, not 'int'"),
    ({"env": {"A": b"x"}}, TypeError, "argument 'env': names and values must be str, not 'bytes'"),
    ({"env": {"": "x"}}, ValueError, "argument 'env': empty variable name"),
    ({"env": {"A=B": "x"}}, ValueError, "argument 'env': variable 'A=B': names may not hold '=' or NUL, values not NUL"),
    ({"env": {"A": "x\0"}}, ValueError, "argument 'env': variable 'A': names may not hold '=' or NUL, values not NUL"),
    ({"env": ["A=x"]}, TypeError, "argument 'env': 'list' object cannot be converted to 'Mapping'"),
    ({"limits": {"stack": 1}}, ValueError, "argument 'limits': unknown resource 'stack' (known: nproc, as, cpu, fsize, nofile, memory, pids, cpu_percent)"),
    ({"limits": {"nproc": -1}}, OverflowError, "can't convert negative int to unsigned"),
    ({"limits": {"nproc": "1"}}, TypeError, "argument 'limits': the limit of 'nproc' must be int, not 'str'"),
    ({"limits": {"nproc": True}}, TypeError, "argument 'limits': the limit of 'nproc' must be int, not 'bool'"),
])
def test_bad_env_or_limits_start_nothing(kwargs, error, text):
    user = PyUserPool().allocate()
    before = set(children_of_this_process())
    with pytest.raises(error) as e:
        user.spawn(**kwargs)
    assert str(e.value) == text
    assert set(children_of_this_process()) - before == set()


def test_pools_never_share_an_account_nor_kill_each_others_shells():
    first = PyUserPool().allocate()
    second = PyUserPool().allocate()
    assert first.username() != second.username()
    session = first.spawn()
    other = subprocess.run([sys.executable, "-c", "from ferrowick import PyUserPool; print(PyUserPool().allocate().username())"],
                           capture_output=True, text=True, timeout=60)
    assert other.stdout.strip().startswith("test_")
    assert other.stdout.strip() not in (first.username(), second.username())
    del second  # its release must not touch the first pool's tenant
    session.write(b"echo still$((1+1))\n")
    read_until(session, first, b"still2")


def test_ferrowick_pool_lists_and_purges_only_what_no_live_pool_manages():
    from ferrowick_pool import main

    # Far enough into the name sequence that no other user of the host holds it.
    pool = PyUserPool(8)
    users = [pool.allocate() for _ in range(8)]
    name = users[-1].username()
    run = lambda *argv: subprocess.run([sys.executable, "-m", "ferrowick_pool", *argv],
                                       capture_output=True, text=True, timeout=120)
    listed = run("list")
    assert listed.returncode == 0
    assert [line.split()[2] for line in listed.stdout.splitlines() if line.startswith(name + " ")] == ["yes"]
    refused = run("purge", name)
    assert (refused.returncode, refused.stderr) == (1, f"ferrowick-pool: kept {name}: {name} is managed by a live pool\n")
    assert pwd.getpwnam(name)
    del users, pool
    purged = run("purge", name)
    assert (purged.returncode, purged.stdout) == (0, f"purged {name}\n")
    with pytest.raises(KeyError):
        pwd.getpwnam(name)
    assert not os.path.lexists(f"{HOME_ROOT}/{name}")
    assert main(["purge", "test_nosuchac"]) == 1
    assert main(["bogus"]) == 2
