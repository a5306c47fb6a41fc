"""PyUser.exec and PyUser.start: what only the binding can get wrong (the
arguments, the result types, OSError mapping, the interpreter lock, Ctrl-C).
The runner's own semantics (streams, caps, tree kill) are tested in C++."""

import os
import signal
import subprocess
import threading
import time

import pytest

import ferrowick
from conftest import needs_pool
from ferrowick import PyUserPool

pytestmark = needs_pool


@pytest.fixture(scope="module")
def user():
    previous = signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    user = PyUserPool(1).allocate()
    yield user
    signal.signal(signal.SIGPIPE, previous)


def live_processes(uid):
    out = subprocess.run(["ps", "-u", str(uid), "-o", "stat="], capture_output=True, text=True).stdout
    return [s for s in out.split() if not s.startswith("Z")]


def test_done_when_figures(user):
    r = user.exec("echo hi; echo err >&2; exit 3")
    assert isinstance(r, ferrowick.Completed) and isinstance(r.usage, ferrowick.Usage)
    assert r[:5] == (3, b"hi\n", b"err\n", False, False)
    assert r.usage.source == PyUserPool.capabilities()["usage"] and r.usage.cpu_time >= 0 and r.usage.peak_memory > 0
    assert user.exec(["printf", "%s", "a b"]).stdout == b"a b"
    data = os.urandom(1 << 20)
    assert user.exec("cat", input=bytearray(data)).stdout == data
    assert user.exec(("id", "-u")).stdout == b"%d\n" % user.uid()
    env = user.exec("env").stdout.decode()
    assert not any(f"{k}=" in env for k in os.environ if k not in ("HOME", "USER", "LOGNAME", "SHELL", "PATH", "LANG", "PWD", "SHLVL", "_"))
    assert user.exec("echo $FOO,$HOME", env={"FOO": "bar"}).stdout == b"bar,\n"
    assert user.exec("pwd", cwd="/tmp").stdout == b"/tmp\n"


def test_timeout_and_cap(user):
    start = time.monotonic()
    r = user.exec("sleep 1000 & setsid sleep 1000 & sleep 1000", timeout=0.5)
    assert time.monotonic() - start < 1.5
    assert r.timed_out and r.status == -signal.SIGKILL
    assert live_processes(user.uid()) == []
    r = user.exec("head -c 3000000 /dev/zero; echo end", max_output=1001)
    assert r.truncated and r.stdout == b"\0" * 500 + b"\0" * 497 + b"end\n"


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"cwd": "/no/such/dir"}, FileNotFoundError, "/no/such/dir"),
        ({"cwd": "/etc/passwd"}, NotADirectoryError, "/etc/passwd"),
        ({"cwd": "/root"}, PermissionError, "/root"),
    ],
)
def test_start_failures_raise_os_errors(user, kwargs, error, text):
    with pytest.raises(error) as e:
        user.exec("true", **kwargs)
    assert e.value.filename == text
    with pytest.raises(error):
        user.start("true", **kwargs)


def test_missing_program(user):
    with pytest.raises(FileNotFoundError) as e:
        user.exec(["no-such-program-here"])
    assert e.value.filename == "no-such-program-here"


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        (("true", b"x"), {}, TypeError, "PyUser.exec() takes 1 positional arguments but 2 were given"),
        (([],), {}, ValueError, "argument 'command': the argument list is empty"),
        ((["a", 1],), {}, TypeError, "argument 'command': item 1 must be str, not 'int'"),
        ((b"true",), {}, TypeError, "argument 'command': 'bytes' object cannot be converted to 'str or list of str'"),
        (("a\0b",), {}, ValueError, "argument 'command': embedded null character"),
        (("true",), {"input": "text"}, TypeError, "argument 'input': a bytes-like object is required, not 'str'"),
        (("true",), {"timeout": -1}, ValueError, "argument 'timeout': must be a non-negative number of seconds"),
        (("true",), {"max_output": -1}, OverflowError, "can't convert negative int to unsigned"),
        (("true",), {"limits": {"bogus": 1}}, ValueError, None),
        (("true",), {"limits": {"cpu_percent": 0}}, ValueError, f"cpu_percent must be between 1 and {100 * os.cpu_count()}, not 0"),
        (("true",), {"env": {"A": 1}}, TypeError, None),
    ],
)
def test_argument_errors(user, args, kwargs, error, text):
    with pytest.raises(error) as e:
        user.exec(*args, **kwargs)
    if text is not None:
        assert str(e.value) == text


@pytest.mark.skipif(PyUserPool.capabilities()["memory"] is None, reason="no writable memory cgroup on this host")
def test_tree_limits_reach_the_command(user):
    r = user.exec("x=$(head -c 200000000 /dev/zero | tr '\\0' a); echo survived", limits={"memory": 64 << 20}, timeout=30)
    assert (r.status, r.stdout, r.timed_out) == (-signal.SIGKILL, b"", False)
    assert r.usage.oom_kills >= 1


def test_threads_run_in_parallel(user):
    def work(results, n):
        for i in range(n):
            r = user.exec(["echo", str(i)])
            results.append(r.stdout == b"%d\n" % i and r.status == 0)

    ids = (os.getresuid(), os.getresgid(), os.getgroups())
    results = []
    threads = [threading.Thread(target=work, args=(results, 25)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 200
    # The children switch ids while sharing the host's memory: never the host's threads.
    assert (os.getresuid(), os.getresgid(), os.getgroups()) == ids


def test_ctrl_c_kills_the_tree(user):
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        user.exec("sleep 1000 & sleep 1000", timeout=20)
    assert time.monotonic() - start < 1.5
    assert live_processes(user.uid()) == []


def test_process_object(user):
    with user.start("cat; echo done >&2; exit 4") as p:
        assert isinstance(p, ferrowick.PyProcess) and p.pid > 0 and p.returncode is None
        assert isinstance(p.fileno(), int) and isinstance(p.fileno_err(), int)
        p.write(memoryview(b"ping\n"))
        assert p.read(100, timeout=5) == b"ping\n"
        p.close_stdin()
        assert p.read_err(timeout=5) == b"done\n"
        assert p.wait(timeout=5) == 4 and p.returncode == 4
        assert p.read() == b""
        assert isinstance(p.usage(), ferrowick.Usage)
    for call in (p.read, p.close_stdin, p.fileno):
        with pytest.raises(ValueError, match="The process is closed"):
            call()
    assert p.wait() == 4
    p = user.start(["sleep", "1000"])
    with pytest.raises(TimeoutError):
        p.wait(timeout=0.05)
    p.kill()
    assert p.wait(timeout=5) == -signal.SIGKILL
    del p
    assert live_processes(user.uid()) == []


def test_release_kills_running_commands_and_refuses_new_ones():
    user = PyUserPool(1).allocate()
    with user.start("sleep 1000") as p:
        user.release()
        assert p.returncode == -signal.SIGKILL
        # As for the account's sessions: its processes' I/O and waits refuse.
        for call in (lambda: user.exec("true"), lambda: user.start("true"), p.read, p.read_err, p.wait,
                     lambda: p.write(b"x"), p.close_stdin, p.fileno):
            with pytest.raises(ValueError, match="^The account was released$"):
                call()
