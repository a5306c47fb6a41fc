#!/usr/bin/env python3
"""User pool and shell sessions against the same work done with subprocess.

Contenders: ferrowick (this tree's build), subprocess (the work done by
hand), and with --landed DIR the same ferrowick rows measured on another
build of the module (e.g. of the main branch, installed with
`pip install --target DIR`), to see what a change costs.

Rows, each measured in a child process per contender:
  allocate   one allocate/release cycle of an account that already exists
             and left nothing behind;
             ferrowick: PyUserPool.allocate() and dropping the PyUser; peer:
             `id -u NAME`, removing and recreating the home with shutil and
             os, os.chown, then `pkill -u UID`, i.e. the cycle done by hand
  spawn      starting a bash as the account until its first output arrives;
             ferrowick: PyUser.spawn() then read() until bytes come; peer:
             subprocess.Popen of the same `su` command line with three pipes,
             then os.read on standard output. Closing the session (kill and
             reap su) is done after the clock stops
  roundtrip  on one open session, writing `echo rN$((1+1))` and reading until
             the computed line comes back; su gives the shell a pseudo-terminal,
             which echoes the input line, so only the computed value (never
             part of the input) ends the wait
  release    the median time of dropping the last reference to an account
             whose shell never ran (idle) and to one whose session ran
             commands and left a background job (`sleep 1000 &`) running
             (used): ferrowick only, the time until the account is back

Needs root and the host's id, useradd, pkill and su; without them the driver
prints why and exits 0. It adds (once) and uses a throw-away account of the
pool's fixed name sequence. Other programs on the machine (test suites, the
demo shell) use the first names of that sequence, and releasing an account
kills every process of it, so by default the pool first takes and keeps the
first --skip-accounts accounts and measures on the next one. Those kept
accounts are never released: the worker ends with os._exit, so it never runs
`pkill -u` on accounts other programs may be using. With --skip-accounts 0 the
pool has capacity 1 and the first account is the one measured.

A worker that hangs (for example its shell was killed by someone else) is ended
by SIGALRM after WORKER_TIMEOUT seconds and reported as failed.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import statistics  # noqa: E402

import common  # noqa: E402
from common import Row, autorange, expect  # noqa: E402

HOST_TOOLS = ("id", "useradd", "pkill", "su")
WORKER_TIMEOUT = 180  # seconds
READ_SIZE = 1024
# Accounts kept aside by default: the tests and tools of this project use the
# first two names of the sequence; one more leaves room.
DEFAULT_SKIP = 3

# Accounts taken to reach the measured one. Kept for the life of the worker
# (see the module documentation).
_KEPT: list = []


@dataclass(frozen=True)
class Account:
    name: str
    uid: int
    home: str


def timing(args) -> tuple[float, int]:
    """(seconds of timed work per row, batches); smaller for --quick."""
    return (0.15, 3) if args.quick else (3.0, 5)


def best_of_split(op, budget: float, repeat: int) -> float:
    """Best seconds per op, where op() returns the seconds of its timed part.

    Like common.autorange, but for operations whose clean-up (killing and
    reaping a process) must stay outside the clock: op times itself. One call
    calibrates the batch size for about budget/repeat seconds of timed work.
    """
    n = max(1, int(budget / repeat / max(op(), 1e-9)))
    return min(sum(op() for _ in range(n)) / n for _ in range(repeat))


def account_driver_main(script: str, doc: str, contenders: dict, report) -> int:
    """main() of a driver that measures on reserved accounts: parses the
    common arguments and --skip-accounts, skips without root, and in a
    worker never releases the kept accounts."""
    p = common.parser(doc.splitlines()[0])
    p.add_argument("--skip-accounts", type=int, default=DEFAULT_SKIP, metavar="N",
                   help="accounts of the name sequence to keep aside before the measured one")
    args = p.parse_args()
    why = missing_prerequisite()
    if why:
        print(f"{os.path.basename(script)[:-3]} skipped: {why}")
        return 0
    if not args.worker:
        status = common.main(script, args, contenders, report)
        # The workers end without their exit handlers (see below), leaving
        # the empty groups they kept ready; removed here, as a pool would.
        import ferrowick

        ferrowick.PyUserPool._purge_groups()
        return status
    signal.alarm(WORKER_TIMEOUT)
    status = common.main(script, args, contenders, report)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)  # never release the kept accounts (see above)


def reserve_account(args):
    """A pool and a PyUser of the account to measure on.

    The first --skip-accounts hand-outs are kept in _KEPT, so the pool's next
    hand-out, and every later one after a release, is the measured account.
    """
    import ferrowick

    pool = ferrowick.PyUserPool(args.skip_accounts + 1)
    _KEPT.extend(pool.allocate() for _ in range(args.skip_accounts))
    return pool, pool.allocate()


def account_of(user) -> Account:
    return Account(user.username(), user.uid(), user.home())


def check_fresh_home(acct: Account) -> None:
    st = os.stat(acct.home)
    expect(os.listdir(acct.home) == [], f"home {acct.home} is not empty")
    expect((st.st_uid, st.st_gid) == (acct.uid, acct.uid), f"home {acct.home} owner")


def su_command(acct: Account) -> list[str]:
    shell = f'export HOME="{acct.home}"; cd "{acct.home}"; exec /bin/bash'
    return ["su", "-s", "/bin/bash", "-P", "-c", shell, acct.name]


def read_until(read, marker: bytes) -> bytes:
    """Reads chunks until ``marker`` has arrived; end of stream is an error."""
    seen = b""
    while marker not in seen:
        chunk = read()
        expect(bool(chunk), f"the shell ended before {marker!r} arrived; got {seen[-200:]!r}")
        seen += chunk
    return seen


def round_trips(write, read):
    """A round-trip op: each call writes a new arithmetic echo and waits for it."""
    counter = iter(range(10**9))

    def op() -> None:
        n = next(counter)
        write(f"echo r{n}$((1+1))\n".encode())
        read_until(read, f"r{n}2\r\n".encode())

    return op


# --------------------------------------------------------------------------
# Contenders


def run_ferrowick(args) -> dict:
    budget, repeat = timing(args)
    pool, user = reserve_account(args)
    acct = account_of(user)
    del user
    # Warm: the account exists and its entry is back on the free list.
    again = account_of(pool.allocate())
    expect(again == acct, f"the pool handed out {again}, not {acct}")
    check_fresh_home(acct)
    res = {"allocate": autorange(pool.allocate, budget=budget, repeat=repeat)}

    user = pool.allocate()
    expect(account_of(user) == acct, "the measured account changed")

    def spawn() -> float:
        start = time.perf_counter()
        session = user.spawn()
        first = session.read()
        while not first:
            first = session.read()
        elapsed = time.perf_counter() - start
        session.close()
        return elapsed

    res["spawn"] = best_of_split(spawn, budget, repeat)

    session = user.spawn()
    expect(bool(session.read()), "no prompt from the shell")
    trip = round_trips(session.write, session.read)
    trip()
    res["roundtrip"] = autorange(trip, budget=budget, repeat=repeat)
    session.write(b"echo $(id -u) $PWD\n")
    read_until(session.read, f"{acct.uid} {acct.home}\r\n".encode())
    session.close()
    del user, session, trip  # the round-trip op holds the session
    res.update(release_medians(pool, acct, 3 if args.quick else 8))
    return res


def release_medians(pool, acct: Account, cycles: int) -> dict:
    """Median seconds of a release, idle and after use (see the module doc)."""
    idle, used = [], []
    for _ in range(cycles):
        user = pool.allocate()
        expect(account_of(user) == acct, "the measured account changed")
        start = time.perf_counter()
        del user
        idle.append(time.perf_counter() - start)

        user = pool.allocate()
        session = user.spawn()
        for command in ("cd /tmp", "ls -la > /dev/null", "true"):
            expect(session.run(command, timeout=30)[0] == 0, f"{command!r} failed")
        session.write(b"sleep 1000 &\n")
        expect(session.run("echo bg", timeout=30) == (0, b"bg\r\n"), "no prompt after the background job")
        start = time.perf_counter()
        del session, user
        used.append(time.perf_counter() - start)
    return {"release_idle": statistics.median(idle), "release_used": statistics.median(used)}


def run_landed(args) -> dict:
    """The ferrowick rows on the build found in --landed."""
    sys.path.insert(0, os.path.abspath(args.landed))
    import ferrowick

    expect(os.path.dirname(ferrowick.__file__) == os.path.abspath(args.landed),
           f"ferrowick came from {ferrowick.__file__}, not from {args.landed}")
    return run_ferrowick(args)


def run_subprocess(args) -> dict:
    budget, repeat = timing(args)
    _pool, user = reserve_account(args)
    acct = account_of(user)
    del user, _pool  # released: from here on only su and the host tools touch it
    parent = os.path.dirname(acct.home)

    def cycle() -> None:
        out = subprocess.run(["id", "-u", acct.name], stdin=subprocess.DEVNULL,
                             capture_output=True, check=True).stdout
        uid = int(out.split(b"\n", 1)[0])
        os.makedirs(parent, exist_ok=True)
        if os.path.exists(acct.home):
            shutil.rmtree(acct.home)
        os.mkdir(acct.home)
        home = os.path.realpath(acct.home)
        os.chown(home, uid, uid)
        subprocess.run(["pkill", "-u", str(uid)], stdin=subprocess.DEVNULL, capture_output=True)

    cycle()
    check_fresh_home(acct)
    res = {"allocate": autorange(cycle, budget=budget, repeat=repeat)}

    command = su_command(acct)
    pipes = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def stop(proc: subprocess.Popen) -> None:
        proc.kill()
        proc.wait()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            pipe.close()

    def spawn() -> float:
        start = time.perf_counter()
        proc = subprocess.Popen(command, **pipes)
        out = proc.stdout.fileno()
        while not os.read(out, READ_SIZE):
            pass
        elapsed = time.perf_counter() - start
        stop(proc)
        return elapsed

    res["spawn"] = best_of_split(spawn, budget, repeat)

    proc = subprocess.Popen(command, **pipes)
    fd_in, fd_out = proc.stdin.fileno(), proc.stdout.fileno()

    def write_all(data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(fd_in, view):]

    def read() -> bytes:
        return os.read(fd_out, READ_SIZE)

    expect(bool(read()), "no prompt from the shell")
    trip = round_trips(write_all, read)
    trip()
    res["roundtrip"] = autorange(trip, budget=budget, repeat=repeat)
    write_all(b"echo $(id -u) $PWD\n")
    read_until(read, f"{acct.uid} {acct.home}\r\n".encode())
    stop(proc)
    # The shells su started outlive it (as with ferrowick, whose release does this).
    subprocess.run(["pkill", "-u", str(acct.uid)], stdin=subprocess.DEVNULL, capture_output=True)
    return res


CONTENDERS = {
    "ferrowick": run_ferrowick,
    "landed": run_landed,
    "subprocess": run_subprocess,
}

ROWS = [
    Row("allocate", "allocate/release an existing account"),
    Row("spawn", "spawn bash, until first output"),
    Row("roundtrip", "echo round trip on a session"),
    Row("release_idle", "release, shell never ran (median)"),
    Row("release_used", "release after commands + sleep & (median)"),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    common.print_table("User pool and shell sessions, per operation", ROWS, results, peers)


def missing_prerequisite() -> str | None:
    if os.geteuid() != 0:
        return "it needs root (it adds host accounts, changes owners and runs su)"
    absent = [tool for tool in HOST_TOOLS if shutil.which(tool) is None]
    if absent:
        return f"host tool(s) not found on PATH: {', '.join(absent)}"
    return None


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--skip-accounts", type=int, default=DEFAULT_SKIP, metavar="N",
                   help="accounts of the name sequence to keep aside before the measured "
                        f"one (default {DEFAULT_SKIP})")
    p.add_argument("--landed", metavar="DIR",
                   help="also measure the ferrowick build installed in DIR (as the 'landed' contender)")
    args = p.parse_args()
    if not args.landed and not args.only:
        args.only = [name for name in CONTENDERS if name != "landed"]
    if args.skip_accounts < 0:
        p.error("--skip-accounts must be 0 or more")
    why = missing_prerequisite()
    if why:
        print(f"bench_pool skipped: {why}")
        return 0
    if not args.worker:
        return common.main(os.path.abspath(__file__), args, CONTENDERS, report)

    signal.alarm(WORKER_TIMEOUT)
    status = common.main(os.path.abspath(__file__), args, CONTENDERS, report)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)  # never release the kept accounts (see above)


if __name__ == "__main__":
    sys.exit(main())
