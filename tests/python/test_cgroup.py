"""Session limits for the whole tree, usage() and capabilities() as a script
sees them: argument conversion, the Usage type, what close() leaves, and the
claims the README makes about "memory" against "as". The group layer's own
semantics (limits, figures, kill, removal) are tested in C++."""

import os
import shutil
import subprocess
import sys
import time

import pytest

import ferrowick
from conftest import UNDER_ASAN, needs_pool
from ferrowick import PyUserPool
from test_pool import live_processes_of as processes_of

pytestmark = needs_pool

CAPS = PyUserPool.capabilities()
needs_memory_cgroup = pytest.mark.skipif(CAPS["memory"] is None, reason="no writable memory cgroup on this host")
MiB = 1 << 20


def run(session, command, timeout=60):
    status, out = session.run(command, timeout=timeout)
    return status, out.decode(errors="replace")


def test_capabilities_name_a_mechanism_or_none_for_each_key():
    assert set(CAPS) == {"memory", "pids", "cpu_percent", "usage", "tree_kill"}
    for key, value in CAPS.items():
        allowed = {"cgroup1", "cgroup2"} | ({"rusage"} if key == "usage" else {None})
        assert value in allowed, key
    assert PyUserPool(1).capabilities() == CAPS  # also through an instance


@pytest.mark.parametrize("limits, error, text", [
    ({"memory": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"pids": True}, TypeError, "argument 'limits': the limit of 'pids' must be int, not 'bool'"),
    ({"cpu_percent": 1.5}, TypeError, "argument 'limits': the limit of 'cpu_percent' must be int, not 'float'"),
    ({"swap": 1}, ValueError,
     "argument 'limits': unknown resource 'swap' (known: nproc, as, cpu, fsize, nofile, memory, pids, cpu_percent)"),
    ({"cpu_percent": 0}, ValueError, f"cpu_percent must be between 1 and {100 * os.cpu_count()}, not 0"),
])
def test_bad_limits_start_nothing(limits, error, text):
    user = PyUserPool(1).allocate()
    with pytest.raises(error) as e:
        user.spawn(limits=limits)
    assert str(e.value) == text


def test_usage_is_a_struct_sequence_frozen_at_close():
    user = PyUserPool(1).allocate()
    session = user.spawn()
    assert run(session, "true")[0] == 0
    live = session.usage()
    assert isinstance(live, ferrowick.Usage) and "Usage" not in ferrowick.__all__
    assert live.source == CAPS["usage"]
    assert isinstance(live.cpu_time, float) and isinstance(live.peak_memory, int)
    session.close()
    end = session.usage()
    time.sleep(0.05)
    assert session.usage() == end  # frozen
    assert end.cpu_time >= live.cpu_time


@pytest.mark.skipif(CAPS["tree_kill"] is None, reason="no way to kill a tree on this host")
def test_close_kills_what_the_session_detached_but_keeps_the_account():
    user = PyUserPool(1).allocate()
    session = user.spawn()
    assert run(session, "setsid nohup sleep 1000 >/dev/null 2>&1 & disown; echo started")[0] == 0
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not any(
            open(f"/proc/{p}/cmdline", "rb").read().startswith(b"sleep") for p in processes_of(user.uid())):
        time.sleep(0.02)
    session.close()
    time.sleep(0.5)
    assert processes_of(user.uid()) == []
    assert user.spawn().run("echo still", timeout=30) == (0, b"still\r\n")  # the account is still ours


@needs_memory_cgroup
@pytest.mark.parametrize("command", [
    "node -e 0",
    "java -version",
    "/usr/bin/python3 -c 'import threading as t; e=t.Event(); ts=[t.Thread(target=e.wait, daemon=True) for _ in range(64)];"
    " [x.start() for x in ts]; e.set(); [x.join() for x in ts]'",  # 64 threads alive at once
])
def test_the_memory_limit_lets_runtimes_start_where_the_address_space_limit_does_not(command):
    if shutil.which(command.split()[0]) is None:
        pytest.skip(f"{command.split()[0]} is not installed")
    user = PyUserPool(1).allocate()
    assert run(user.spawn(limits={"memory": 256 * MiB}), command + " >/dev/null 2>&1")[0] == 0
    if not UNDER_ASAN:  # there even su's wrapper cannot start under "as"
        assert run(user.spawn(limits={"as": 256 * MiB}), command + " >/dev/null 2>&1")[0] != 0


@pytest.mark.skipif(CAPS["tree_kill"] is None, reason="no control groups on this host")
def test_the_groups_of_a_pool_that_died_are_removed_with_what_they_hold():
    script = ("import os, signal, ferrowick; s = ferrowick.PyUserPool(1).allocate().spawn(); s.run('true', timeout=30);"
              " print(s.pid, flush=True); signal.pause()")
    victim = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    su = int(victim.stdout.readline())
    with open(f"/proc/{su}/cgroup") as f:
        unified = [line.split(":", 2)[2].strip() for line in f if line.startswith("0::")][0]
    root = "/sys/fs/cgroup/unified" if os.path.isdir("/sys/fs/cgroup/unified") else "/sys/fs/cgroup"
    group = root + unified
    assert os.path.basename(group).startswith(f"ferrowick-{victim.pid}-")
    victim.kill()
    victim.wait()
    assert os.path.isdir(group)  # nobody removed it: the pool died
    purge = [sys.executable, "-c", "from ferrowick import PyUserPool; print(PyUserPool._purge_groups())"]
    assert int(subprocess.run(purge, capture_output=True, text=True, timeout=60).stdout) >= 1
    assert not os.path.exists(group)
    assert not os.path.exists(f"/proc/{su}") or open(f"/proc/{su}/stat").read().rsplit(")", 1)[1].startswith(" Z")
