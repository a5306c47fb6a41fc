#!/usr/bin/env python3
"""Reference-leak and memory soak of the ferrowick module.

Calls every public method of every class, in its success and its failure
paths, over and over, and fails when

  - the resident memory keeps growing after a warm-up (the growth per 1,000
    iterations is printed and must stay below --max-growth-kb, plus a small
    --slack-kb for allocator noise),
  - the interpreter's count of allocated blocks keeps growing (a leaked
    reference to any result, argument or exception object shows there),
  - a call changes the reference count of its object or its arguments, or
    a result carries extra references,
  - an object is not freed when its last reference goes: a file handle
    keeps the file locked until it is destroyed, and keeps its file system
    alive after the PyFs is gone; a terminal sees the same file system.

The pool classes act on real host accounts and processes: they run only as
root with the host tools present, and for fewer iterations.

Usage: soak.py [--iterations N] [--pool-iterations M] [--max-growth-kb K] [--slack-kb S]
"""

import argparse
import copy
import os
import pickle
import shutil
import signal
import sys
import tempfile
import time

import ferrowick
from ferrowick import PyFileHandle, PyFs, PyProcess, PyTerm, PyTerminalSession, PyUser, PyUserPool, Whence
from soak_support import finish, pool_skip_reason, read_until

PAYLOAD = b"soak payload \x00\xff"
# Methods a script can call besides the public names: constructors,
# string conversion, and the with-statement protocol.
SPECIAL = {
    "PyFs": ["__new__", "__str__", "__copy__", "__deepcopy__", "__reduce__"],
    "PyFileHandle": ["__new__", "__str__"],
    "PyTerm": ["__new__"],
    "Whence": ["__new__", "__repr__", "__int__", "__eq__", "__ne__", "__lt__", "__hash__"],
    "PyUserPool": ["__new__"],
    "PyUser": ["__new__", "__str__"],
    "PyTerminalSession": ["__new__"],
    "PyProcess": ["__new__"],
}
POOL_CLASSES = ("PyUserPool", "PyUser", "PyTerminalSession", "PyProcess")


class Calls:
    """Runs calls and remembers which method and path each one covered."""

    def __init__(self):
        self.paths = set()
        self.count = 0

    def ok(self, name, fn, *args):
        self.count += 1
        self.paths.add((name, "ok"))
        return fn(*args)

    def fails(self, name, exc, fn, *args):
        self.count += 1
        self.paths.add((name, "error"))
        try:
            fn(*args)
        except exc:
            return
        raise AssertionError(f"{name}{args!r} did not raise {exc.__name__}")


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def refs(obj):
    # Counts taken through this helper are only compared with each other; a
    # fresh result held by one variable shows 2 in sys.getrefcount directly.
    return sys.getrefcount(obj)


def exercise_fs(c):
    fs = c.ok("PyFs.__new__", PyFs)
    base = refs(fs)
    c.fails("PyFs.__new__", TypeError, PyFs, 1)
    path = "/d"
    path_refs = refs(path)
    c.ok("PyFs.mkdir", fs.mkdir, path)
    c.fails("PyFs.mkdir", ValueError, fs.mkdir, path)
    c.fails("PyFs.mkdir", UnicodeEncodeError, fs.mkdir, "/\ud800")
    expect(refs(path) == path_refs, "mkdir kept a reference to its argument")
    c.ok("PyFs.touch", fs.touch, "/d/f")
    c.fails("PyFs.touch", ValueError, fs.touch, "/missing/f")
    listing = c.ok("PyFs.listdir", fs.listdir, "/d")
    expect(listing == (["f"], []) and sys.getrefcount(listing) == 2 and sys.getrefcount(listing[0]) == 2, "listdir result")
    c.fails("PyFs.listdir", ValueError, fs.listdir, "/d/f")
    c.fails("PyFs.listdir", TypeError, fs.listdir, None)
    tree = c.ok("PyFs.tree", fs.tree, "/", ">")
    expect(tree == ">d/\n>  f\n" and sys.getrefcount(tree) == 2, "tree result")
    c.fails("PyFs.tree", ValueError, fs.tree, "/nope")
    c.fails("PyFs.tree", TypeError, fs.tree, "/", 5)
    c.ok("PyFs.__str__", str, fs)
    expect(c.ok("PyFs.exists", fs.exists, "/d/f") and not fs.exists("/nope"), "exists")
    c.fails("PyFs.exists", TypeError, fs.exists, None)
    expect(tuple(c.ok("PyFs.stat", fs.stat, "/d"))[:2] == ("directory", 1), "stat")
    c.fails("PyFs.stat", ValueError, fs.stat, "/nope")
    expect(c.ok("PyFs.read_bytes", fs.read_bytes, "/d/f") == b"", "read_bytes")
    c.fails("PyFs.read_bytes", ValueError, fs.read_bytes, "/d")
    exercise_workspaces(c, fs)
    exercise_handles(c, fs)
    exercise_terminal(c, fs)
    c.ok("PyFs.rename", fs.rename, "/d/f", "/d/g")
    expect(fs.listdir("/d") == (["g"], []), "rename")
    c.fails("PyFs.rename", ValueError, fs.rename, "/d/f", "/d/h")
    c.fails("PyFs.rename", ValueError, fs.rename, "/d", "/d/x")
    c.fails("PyFs.rename", TypeError, fs.rename, "/d/g", None)
    c.ok("PyFs.remove", fs.remove, "/d", True)
    c.fails("PyFs.remove", ValueError, fs.remove, "/d", False)
    c.fails("PyFs.remove", TypeError, fs.remove, "/d", 1)
    expect(refs(fs) == base, "a call left a reference to the PyFs behind")


def exercise_workspaces(c, fs):
    rendered = str(fs)
    expect(str(c.ok("PyFs.clone", fs.clone)) == rendered, "clone differs")
    c.ok("PyFs.__copy__", copy.copy, fs)
    c.ok("PyFs.__deepcopy__", copy.deepcopy, fs)
    data = c.ok("PyFs.snapshot", fs.snapshot)
    expect(sys.getrefcount(data) == 2, "snapshot result")
    expect(str(c.ok("PyFs.from_snapshot", PyFs.from_snapshot, bytearray(data))) == rendered, "from_snapshot differs")
    c.fails("PyFs.from_snapshot", ValueError, PyFs.from_snapshot, data[:-1])
    c.fails("PyFs.from_snapshot", TypeError, PyFs.from_snapshot, "text")
    c.ok("PyFs.__reduce__", lambda: pickle.loads(pickle.dumps(fs)))


def exercise_handles(c, fs):
    h = c.ok("PyFs.open", fs.open, "/d/f", "rw")
    c.fails("PyFs.open", ValueError, fs.open, "/d/f", "w")  # held by h
    c.fails("PyFs.open", ValueError, fs.open, "/d", "r")
    c.fails("PyFs.open", ValueError, fs.open, "/g", "x")
    c.fails("PyFs.open", TypeError, fs.open, b"/g", "r")
    base = refs(h)
    payload_refs = refs(PAYLOAD)
    expect(c.ok("PyFileHandle.write", h.write, PAYLOAD) == len(PAYLOAD), "write count")
    expect(refs(PAYLOAD) == payload_refs, "write kept its buffer")
    c.fails("PyFileHandle.write", TypeError, h.write, "text")
    whence_refs = refs(Whence.SEEK_SET)
    c.ok("PyFileHandle.seek", h.seek, 2, Whence.SEEK_SET)
    expect(refs(Whence.SEEK_SET) == whence_refs, "seek kept its Whence")
    c.fails("PyFileHandle.seek", TypeError, h.seek, 0, 0)
    c.fails("PyFileHandle.seek", OverflowError, h.seek, -1, Whence.SEEK_SET)
    data = c.ok("PyFileHandle.read", h.read, 5)
    expect(data == PAYLOAD[2:7] and sys.getrefcount(data) == 2, "read result")
    c.fails("PyFileHandle.read", OverflowError, h.read, 2**64)
    expect(c.ok("PyFileHandle.tell", h.tell) == 7, "tell")
    into = bytearray(4)
    expect(c.ok("PyFileHandle.readinto", h.readinto, into) == 4 and into == PAYLOAD[7:11], "readinto")
    c.fails("PyFileHandle.readinto", TypeError, h.readinto, b"read-only")
    expect(c.ok("PyFileHandle.readall", h.readall) == PAYLOAD[11:], "readall")
    c.ok("PyFileHandle.truncate", h.truncate, len(PAYLOAD))
    c.fails("PyFileHandle.truncate", OverflowError, h.truncate, -1)
    h.seek(7, Whence.SEEK_SET)
    expect(c.ok("PyFileHandle.id", h.id) == 3, "id")  # the refused second mkdir spent id 2
    c.ok("PyFileHandle.__str__", str, h)
    expect(c.ok("PyFileHandle.__enter__", h.__enter__) is h, "__enter__ returns the handle")
    c.fails("PyFileHandle.__exit__", TypeError, h.__exit__, 1, 2, 3, 4)
    c.ok("PyFileHandle.__exit__", h.__exit__, None, None, None)  # closes it
    for name, args in (("close", ()), ("id", ()), ("read", (1,)), ("write", (b"x",)),
                       ("seek", (0, Whence.SEEK_END)), ("tell", ())):
        c.fails("PyFileHandle." + name, ValueError, getattr(h, name), *args)
    expect(refs(h) == base, "a call left a reference to the handle behind")
    c.ok("PyFileHandle.close", fs.open("/d/f", "w").close)
    for mode, refused in (("w", "read"), ("r", "write")):
        other = fs.open("/d/f", mode)
        c.fails("PyFileHandle." + refused, ValueError, getattr(other, refused), *((1,) if refused == "read" else (b"x",)))
        del other  # destroying the open handle must give the lock back
    c.fails("PyFileHandle.__new__", TypeError, PyFileHandle)


def exercise_terminal(c, fs):
    term = c.ok("PyTerm.__new__", PyTerm, fs)
    c.fails("PyTerm.__new__", TypeError, PyTerm, 1)
    for line in ("ls /", "cd d", "pwd", "cat f", "echo a 'b c'", "help", "mkdir x", "touch x/y", "rm -r x", "cd /"):
        c.ok("PyTerm.exec", term.exec, line)
    for line in ("nosuch", "cd nope", "cat d", "rm d", "echo 'x", "rm --help", "mkdir d", "ls d/f"):
        c.fails("PyTerm.exec", ValueError, term.exec, line)
    c.fails("PyTerm.exec", TypeError, term.exec, 3)


def exercise_host_copies(c, host_dir):
    """copy_in and copy_out through the host file system: `host_dir` holds
    one file "src/a"; "out" is written and removed again."""
    fs = PyFs()
    src = os.path.join(host_dir, "src")
    out = os.path.join(host_dir, "out")
    src_refs = refs(src)
    expect(c.ok("PyFs.copy_in", fs.copy_in, src, "/in") == 1, "copy_in count")
    expect(refs(src) == src_refs, "copy_in kept a reference to its argument")
    c.fails("PyFs.copy_in", FileNotFoundError, fs.copy_in, os.path.join(host_dir, "missing"), "/x")
    c.fails("PyFs.copy_in", TypeError, fs.copy_in, 5)
    expect(not fs.exists("/x"), "a failed copy_in left the destination it made")
    expect(c.ok("PyFs.copy_out", fs.copy_out, "/in", out) == 1, "copy_out count")
    c.fails("PyFs.copy_out", FileExistsError, fs.copy_out, "/in", out)
    c.fails("PyFs.copy_out", NotADirectoryError, fs.copy_out, "/in", os.path.join(src, "a"))
    c.fails("PyFs.copy_out", ValueError, fs.copy_out, "/nope", out)
    os.unlink(os.path.join(out, "a"))
    os.rmdir(out)


def exercise_whence(c):
    s = Whence.SEEK_SET
    expect(c.ok("Whence.__repr__", repr, s) == "Whence.SEEK_SET", "repr")
    expect(c.ok("Whence.__int__", int, Whence.SEEK_END) == 2, "int")
    expect(c.ok("Whence.__eq__", s.__eq__, 0) is True, "== int")
    expect(c.ok("Whence.__eq__", s.__eq__, "0") is NotImplemented, "== str")
    expect(c.ok("Whence.__ne__", s.__ne__, Whence.SEEK_CUR) is True, "!= Whence")
    c.fails("Whence.__lt__", TypeError, lambda: s < Whence.SEEK_END)
    c.fails("Whence.__hash__", TypeError, hash, s)
    c.fails("Whence.__new__", TypeError, Whence)


def exercise_pool_constructors(c):
    # Making a pool and refusing bad arguments touches nothing on the host.
    c.ok("PyUserPool.__new__", PyUserPool, 3)
    caps = c.ok("PyUserPool.capabilities", PyUserPool.capabilities)
    expect(sys.getrefcount(caps) == 2 and "usage" in caps, "capabilities result")
    c.fails("PyUserPool.capabilities", TypeError, PyUserPool.capabilities, 1)
    c.fails("PyUserPool.__new__", TypeError, PyUserPool, "x")
    c.fails("PyUserPool.__new__", OverflowError, PyUserPool, -1)
    c.fails("PyUser.__new__", TypeError, PyUser)
    c.fails("PyTerminalSession.__new__", TypeError, PyTerminalSession)
    c.fails("PyProcess.__new__", TypeError, PyProcess)


def churn(long_lived):
    # Entries made and removed on one long-lived file system: a directory
    # past its inline capacity, removed child by child, then as a whole.
    long_lived.mkdir("/churn")
    for i in range(12):
        long_lived.touch(f"/churn/f{i}")
    for i in range(0, 12, 2):
        long_lived.remove(f"/churn/f{i}", False)
    long_lived.remove("/churn", True)


def check_lifetimes():
    fs = PyFs()
    keep = fs.open("/k", "w")
    term = PyTerm(fs)
    del fs
    # The handle keeps the file system alive, and the terminal shares it.
    expect('name: "k"' in str(keep), "the handle lost its file system")
    try:
        term.exec("cat k")
        raise AssertionError("cat read a file held open for writing")
    except ValueError as e:
        expect(str(e) == "cat: cannot access 'k': Resource is currently in use", str(e))
    del keep  # the last reference: the handle is destroyed and unlocks the file
    expect(term.exec("cat k") == "", "the dropped handle still holds its lock")


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def exercise_pool(c, iterations):
    pool = PyUserPool(2)
    for i in range(iterations):
        user = c.ok("PyUserPool.allocate", pool.allocate)
        base = refs(user)
        c.ok("PyUser.username", user.username)
        c.ok("PyUser.uid", user.uid)
        home = c.ok("PyUser.home", user.home)
        expect(os.path.isdir(home) and not os.listdir(home), "the home is not fresh and empty")
        c.ok("PyUser.__str__", str, user)
        exercise_transfers(c, user)
        exercise_commands(c, user, i)
        session = c.ok("PyUser.spawn", user.spawn)
        expect(refs(user) == base, "a session holds the PyUser object itself")
        expect(c.ok("PyTerminalSession.__enter__", session.__enter__) is session, "__enter__")
        c.ok("PyTerminalSession.write", session.write, f"echo soak$(({i}+1))\n".encode())
        read_until(session, f"soak{i + 1}".encode())
        expect(c.ok("PyTerminalSession.read_err", session.read_err, 0) == b"", "empty read")
        expect(c.ok("PyTerminalSession.fileno", session.fileno) >= 0, "fileno")
        expect(c.ok("PyTerminalSession.fileno_err", session.fileno_err) >= 0, "fileno_err")
        expect(c.ok("PyTerminalSession.run", session.run, f"echo run{i}", 30) == (0, f"run{i}\r\n".encode()), "run")
        expect(c.ok("PyTerminalSession.run", session.run, "echo abcdef", 30, 3) == (0, b"abc"), "run, max_output")
        c.ok("PyTerminalSession.interrupt", session.interrupt)
        c.ok("PyTerminalSession.interrupt", session.interrupt, signal.SIGINT)
        c.fails("PyTerminalSession.interrupt", ValueError, session.interrupt, 0)
        c.fails("PyTerminalSession.interrupt", TypeError, session.interrupt, "x")
        usage = c.ok("PyTerminalSession.usage", session.usage)
        expect(sys.getrefcount(usage) == 2 and usage.pids >= 1, "usage of a running session")
        c.fails("PyTerminalSession.usage", TypeError, session.usage, 1)
        c.fails("PyTerminalSession.wait", TimeoutError, session.wait, 0)
        c.fails("PyTerminalSession.run", ValueError, session.run, "a\nb")
        c.fails("PyTerminalSession.write", TypeError, session.write, "text")
        c.fails("PyTerminalSession.read", OverflowError, session.read, 2**32)
        c.ok("PyTerminalSession.close", session.close)
        frozen = session.usage()
        for name, args in (("write", (b"x",)), ("read", (1,)), ("read_err", (1,))):
            c.fails("PyTerminalSession." + name, ValueError, getattr(session, name), *args)
        c.ok("PyTerminalSession.__exit__", session.__exit__, None, None, None)
        c.fails("PyTerminalSession.__exit__", TypeError, session.__exit__)
        expect(c.ok("PyTerminalSession.usage", session.usage) == frozen, "usage of a closed session is frozen")
        del session
        expect(refs(user) == base, "closing the session left a reference to the user")
        release_user(c, user, i)
        expect(refs(user) == base, "releasing left a reference to the user")
        del user
    full = PyUserPool(1)
    held = full.allocate()
    c.fails("PyUserPool.allocate", ValueError, full.allocate)
    c.fails("PyUserPool.allocate", TimeoutError, full.allocate, 0.01)
    c.fails("PyUserPool.allocate", ValueError, full.allocate, -1)
    c.fails("PyUser.spawn", TypeError, held.spawn, 1)
    del held


def exercise_transfers(c, user):
    fs = PyFs()
    fs.mkdir("/in")
    with fs.open("/in/a", "w") as h:
        h.write(PAYLOAD)
    base = refs(fs)
    expect(c.ok("PyUser.put", user.put, fs, "/", None) == 1, "put count")
    expect(refs(fs) == base, "put kept a reference to the PyFs")
    c.fails("PyUser.put", ValueError, user.put, fs, "/", "../x")
    c.fails("PyUser.put", ValueError, user.put, fs, "/nope")
    c.fails("PyUser.put", TypeError, user.put, 1)
    got = c.ok("PyUser.get", user.get)
    expect(sys.getrefcount(got) == 2 and got.read_bytes("/in/a") == PAYLOAD, "get result")
    c.fails("PyUser.get", ValueError, lambda: user.get(max_bytes=0))
    c.fails("PyUser.get", FileNotFoundError, user.get, "nope")
    c.fails("PyUser.get", ValueError, user.get, "../x")


def exercise_commands(c, user, i):
    base = refs(user)
    done = c.ok("PyUser.exec", user.exec, f"echo ex{i}; echo err >&2; exit 3")
    expect(sys.getrefcount(done) == 2 and done[:5] == (3, f"ex{i}\n".encode(), b"err\n", False, False), "exec result")
    done = c.ok("PyUser.exec", lambda: user.exec(["cat"], input=PAYLOAD, max_output=4))
    expect(done.truncated and done.stdout == PAYLOAD[:2] + PAYLOAD[-2:], "exec with input and max_output")
    c.fails("PyUser.exec", FileNotFoundError, user.exec, ["no-such-program-here"])
    c.fails("PyUser.exec", ValueError, user.exec, [])
    c.fails("PyUser.exec", TypeError, user.exec, b"true")
    proc = c.ok("PyUser.start", user.start, "cat; echo done >&2")
    c.fails("PyUser.start", FileNotFoundError, lambda: user.start("true", cwd="/no/such/dir"))
    expect(c.ok("PyProcess.__enter__", proc.__enter__) is proc, "PyProcess.__enter__")
    expect(c.ok("PyProcess.fileno", proc.fileno) >= 0 and c.ok("PyProcess.fileno_err", proc.fileno_err) >= 0, "filenos")
    c.fails("PyProcess.wait", TimeoutError, proc.wait, 0)
    payload_refs = refs(PAYLOAD)
    c.ok("PyProcess.write", proc.write, PAYLOAD)
    expect(refs(PAYLOAD) == payload_refs, "write kept its buffer")
    c.fails("PyProcess.write", TypeError, proc.write, "text")
    c.ok("PyProcess.close_stdin", proc.close_stdin)
    expect(read_until(proc, PAYLOAD) == PAYLOAD, "the command's output")
    expect(c.ok("PyProcess.read", proc.read) == b"", "end of output")
    c.fails("PyProcess.read", OverflowError, proc.read, 2**64)
    expect(c.ok("PyProcess.read_err", proc.read_err, 64, 30) == b"done\n", "read_err")
    expect(c.ok("PyProcess.wait", proc.wait, 30) == 0, "exit status")
    c.fails("PyProcess.wait", ValueError, proc.wait, -1)
    usage = c.ok("PyProcess.usage", proc.usage)
    expect(sys.getrefcount(usage) == 2, "usage result")
    c.fails("PyProcess.usage", TypeError, proc.usage, 1)
    c.ok("PyProcess.__exit__", proc.__exit__, None, None, None)
    c.fails("PyProcess.__exit__", TypeError, proc.__exit__)
    c.fails("PyProcess.read", ValueError, proc.read)
    c.fails("PyProcess.write", ValueError, proc.write, b"x")
    sleeper = user.start(["sleep", "1000"])
    c.ok("PyProcess.kill", sleeper.kill)
    c.fails("PyProcess.kill", TypeError, sleeper.kill, 1)
    expect(sleeper.wait(30) == -signal.SIGKILL, "killed")
    c.ok("PyProcess.close", sleeper.close)
    c.fails("PyProcess.read_err", ValueError, sleeper.read_err)
    c.fails("PyProcess.close_stdin", TypeError, sleeper.close_stdin, 1)
    del proc, sleeper
    expect(refs(user) == base, "a command left a reference to the user")


def release_user(c, user, i):
    """Gives the account back: with the with-statement protocol or release()
    on alternate turns; afterwards the user refuses everything."""
    if i % 2:
        expect(c.ok("PyUser.__enter__", user.__enter__) is user, "PyUser.__enter__")
        c.fails("PyUser.__exit__", TypeError, user.__exit__)
        expect(c.ok("PyUser.__exit__", user.__exit__, None, None, None) is False, "PyUser.__exit__")
    else:
        running = user.start(["sleep", "1000"])  # release() kills it
        c.ok("PyUser.release", user.release)
        expect(running.returncode == -signal.SIGKILL, "release left a command running")
        c.fails("PyProcess.wait", ValueError, running.wait, 30)
        del running
    c.ok("PyUser.release", user.release)  # again: nothing happens
    c.fails("PyUser.release", TypeError, user.release, 1)
    for name, args in (("spawn", ()), ("put", (PyFs(),)), ("get", ()), ("home", ()), ("exec", ("true",)), ("start", ("true",))):
        c.fails("PyUser." + name, ValueError, getattr(user, name), *args)


def check_coverage(c, with_pool):
    missing = []
    for cls_name in ferrowick.__all__:
        if cls_name in POOL_CLASSES and not with_pool:
            continue
        cls = getattr(ferrowick, cls_name)
        methods = [m for m in dir(cls) if not m.startswith("_") and callable(getattr(cls, m))]
        methods += [m for m in ("__enter__", "__exit__") if hasattr(cls, m)] + SPECIAL[cls_name]
        missing += [f"{cls_name}.{m}" for m in methods if not any(p[0] == f"{cls_name}.{m}" for p in c.paths)]
    expect(not missing, f"methods never called: {missing}")
    errors = sum(1 for p in c.paths if p[1] == "error")
    return len({p[0] for p in c.paths}), errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200_000)
    parser.add_argument("--pool-iterations", type=int, default=30)
    parser.add_argument("--max-growth-kb", type=float, default=2.0,
                        help="allowed resident growth per 1,000 iterations after the warm-up")
    parser.add_argument("--slack-kb", type=int, default=64,
                        help="allowed resident growth on top, for allocator noise in short runs")
    parser.add_argument("--max-block-growth", type=int, default=200,
                        help="allowed growth of the allocated-block count over the measured part")
    args = parser.parse_args()

    c = Calls()
    long_lived = PyFs()
    n = args.iterations
    warm = max(n // 4, 1)
    checkpoints = max(n // 20, 1)
    samples = []
    start = time.monotonic()
    # PyFileHandle.read reports every read on descriptor 1: send it away.
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    host_dir = tempfile.mkdtemp(prefix="ferrowick-soak-")
    os.mkdir(os.path.join(host_dir, "src"))
    with open(os.path.join(host_dir, "src", "a"), "wb") as f:
        f.write(PAYLOAD)
    try:
        for i in range(1, n + 1):
            exercise_fs(c)
            exercise_whence(c)
            exercise_pool_constructors(c)
            churn(long_lived)
            if i % 50 == 0:  # host file system work, as slow as a whole iteration
                exercise_host_copies(c, host_dir)
            if i % 100 == 0:
                check_lifetimes()
            if i == warm or i % checkpoints == 0:
                samples.append((i, rss_kb(), sys.getallocatedblocks()))
    finally:
        shutil.rmtree(host_dir)
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
        os.close(devnull)
    elapsed = time.monotonic() - start

    measured = [s for s in samples if s[0] >= warm]
    (i0, rss0, blocks0), (i1, rss1, blocks1) = measured[0], measured[-1]
    per_k = (rss1 - rss0) * 1000 / max(i1 - i0, 1)
    print(f"soak: {n} iterations, {c.count} calls in {elapsed:.1f} s")
    print("soak: resident KB at " + ", ".join(f"{i}: {rss}" for i, rss, _ in samples))
    print(f"soak: after the warm-up ({i0} iterations) resident {rss0} KB -> {rss1} KB, "
          f"{per_k:+.3f} KB per 1,000 iterations (bound {args.max_growth_kb} + {args.slack_kb} KB); "
          f"allocated blocks {blocks0} -> {blocks1}")

    with_pool = False
    reason = pool_skip_reason()
    if reason is None and args.pool_iterations > 0:
        pool_start = time.monotonic()
        rss_before = rss_kb()
        exercise_pool(c, args.pool_iterations)
        with_pool = True
        print(f"soak: pool classes, {args.pool_iterations} allocate/spawn/echo/close cycles in "
              f"{time.monotonic() - pool_start:.1f} s, resident {rss_before} KB -> {rss_kb()} KB")
    else:
        print(f"soak: pool classes skipped ({reason or 'no iterations asked'})")
    methods, error_paths = check_coverage(c, with_pool)
    print(f"soak: {methods} methods covered, {error_paths} of them in their failure paths too")

    failures = []
    allowed_kb = args.max_growth_kb * (i1 - i0) / 1000 + args.slack_kb
    if rss1 - rss0 > allowed_kb:
        failures.append(f"resident memory grew {rss1 - rss0} KB ({per_k:.3f} KB per 1,000 iterations), "
                        f"more than {allowed_kb:.0f} KB")
    if blocks1 - blocks0 > args.max_block_growth:
        failures.append(f"{blocks1 - blocks0} allocated blocks leaked")
    return finish("soak", failures)


if __name__ == "__main__":
    sys.exit(main())
