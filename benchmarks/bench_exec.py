#!/usr/bin/env python3
"""Running one program as a pool account: PyUser.exec() against a session's run() and su by hand.

Rows, each measured in a child process per contender, in one run; the
accounts of ferrowick and exec-argv are in use meanwhile (a session that ran
commands and left `sleep 1000 &` running stays open):
  true       the median wall time until `true` has run as the account and its
             status is known; ferrowick: user.exec("true") (bash -c, no
             terminal); exec-argv: user.exec(["true"]) (no shell at all);
             session-run: session.run("true") on an open session (through
             the terminal, framed by markers); su-by-hand:
             subprocess.run(["su", NAME, "-c", "true"]) (a new login each time);
             bare-bash: os.posix_spawn of bash -c true as root (no account,
             no groups): the floor under exec("true")
  seq_100    ferrowick only: seconds per exec(["echo", i]) over 100 calls on
             one thread
  par_8x100  ferrowick only: seconds per call for 8 threads x 100 of the same
             at once (below seq_100 when the interpreter lock is released)
  cap_mem    ferrowick only: host memory growth of
             exec("head -c 100000000 /dev/zero", max_output=1 MiB)

Needs root and the host's id, useradd, pkill and su; without them the driver
prints why and exits 0. Accounts are reserved as bench_pool does.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_pool  # noqa: E402
import common  # noqa: E402
from bench_pool import reserve_account, timing  # noqa: E402
from common import MemoryProbe, Row, expect, fmt_bytes  # noqa: E402


def median_of(call, budget: float) -> float:
    """Median seconds of single calls, over about `budget` seconds (at least 21 calls)."""
    call()  # warm up
    times: list[float] = []
    spent = 0.0
    while spent < budget or len(times) < 21:
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
        spent += times[-1]
    return statistics.median(times)


def in_use(user):
    """A session of the account that ran commands and left a job running,
    kept open while the account is measured (figures after real use)."""
    session = user.spawn()
    for command in ("cd /tmp", "ls -la > /dev/null", "sleep 1000 > /dev/null 2>&1 &"):
        expect(session.run(command, timeout=30)[0] == 0, f"{command!r} failed")
    expect(user.exec(["true"]).status == 0, "exec failed")
    return session


def checked(result) -> None:
    expect(result.status == 0 and not result.timed_out, f"exec failed: {result}")


def run_ferrowick(args) -> dict:
    budget, _ = timing(args)
    _pool, user = reserve_account(args)
    session = in_use(user)
    res = {"true": median_of(lambda: checked(user.exec("true")), budget)}
    session.close()  # with its job: the worker ends without releasing (see bench_pool)

    def echoes(n: int, failures: list) -> None:
        for i in range(n):
            r = user.exec(["echo", str(i)])
            if r.stdout != b"%d\n" % i:
                failures.append(r)

    calls = 20 if args.quick else 100
    failures: list = []
    start = time.perf_counter()
    echoes(calls, failures)
    res["seq_100"] = (time.perf_counter() - start) / calls
    threads = [threading.Thread(target=echoes, args=(calls, failures)) for _ in range(8)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    res["par_8x100"] = (time.perf_counter() - start) / (8 * calls)
    expect(not failures, f"{len(failures)} wrong results under threads")

    probe = MemoryProbe()
    big = user.exec("head -c 100000000 /dev/zero", max_output=1 << 20)
    res["cap_mem"] = probe.growth()
    expect(big.truncated and len(big.stdout) == 1 << 20, "the cap did not hold")
    return res


def run_exec_argv(args) -> dict:
    budget, _ = timing(args)
    _pool, user = reserve_account(args)
    session = in_use(user)
    res = {"true": median_of(lambda: checked(user.exec(["true"])), budget)}
    session.close()
    return res


def run_session(args) -> dict:
    budget, _ = timing(args)
    _pool, user = reserve_account(args)
    session = user.spawn()

    def once() -> None:
        expect(session.run("true", timeout=60) == (0, b""), "run failed")

    res = {"true": median_of(once, budget)}
    session.close()
    return res


def run_bare_bash(args) -> dict:
    """The floor: the same `bash -c true` started by root with posix_spawn,
    no account, no groups, no pipes; what bash's own start costs here."""
    budget, _ = timing(args)
    env = {"HOME": "/tmp", "PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8", "SHELL": "/bin/bash"}

    def once() -> None:
        pid = os.posix_spawn("/bin/bash", ["/bin/bash", "-c", "true"], env)
        expect(os.waitpid(pid, 0)[1] == 0, "bash failed")

    return {"true": median_of(once, budget)}


def run_su(args) -> dict:
    budget, _ = timing(args)
    _pool, user = reserve_account(args)
    name = user.username()

    def once() -> None:
        expect(subprocess.run(["su", name, "-c", "true"], stdin=subprocess.DEVNULL).returncode == 0, "su failed")

    return {"true": median_of(once, budget)}


CONTENDERS = {
    "ferrowick": run_ferrowick,
    "exec-argv": run_exec_argv,
    "session-run": run_session,
    "su-by-hand": run_su,
    "bare-bash": run_bare_bash,
}

ROWS = [
    Row("true", "`true` as the account, median"),
    Row("seq_100", "exec(['echo', i]), one thread"),
    Row("par_8x100", "the same, 8 threads, per call"),
    Row("cap_mem", "100 MB through max_output=1 MiB", fmt_bytes),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    common.print_table("One program run as a pool account", ROWS, results, peers)


def main() -> int:
    return bench_pool.account_driver_main(os.path.abspath(__file__), __doc__, CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
