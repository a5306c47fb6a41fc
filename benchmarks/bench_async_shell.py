#!/usr/bin/env python3
"""Many sessions from one event loop: ferrowick_pool.AsyncShell.

Figures:
  concurrent  N AsyncShells, one per account, each `await run("sleep 1;
              echo x")` at once (asyncio.gather): the wall time until all
              have returned (1 s is the floor: every command sleeps 1 s),
              and the process's thread count before and at most during the
              runs (/proc/self/task; the shells start no thread)
  cancel      an awaited run("sleep 100") cancelled after 0.3 s: the time
              until the cancelled task has returned control, then the time
              of the next run("echo ok") and its result; ROUNDS rounds, the
              worst of each

Needs root and the host's id, useradd, pkill and su; without them it prints
why and exits 0. The pool's accounts are claimed host-wide, so other pools
on the machine skip them; the whole driver ends by SIGALRM after
TIME_LIMIT seconds.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import signal
import sys
import time
from collections.abc import Awaitable, Coroutine
from typing import Any, TypeVar

from ferrowick import PyUserPool
from ferrowick_pool import AsyncShell

TIME_LIMIT = 300  # seconds
ROUNDS = 10
T = TypeVar("T")


def skipped_without_pool(driver: str) -> bool:
    """True, having said why, when this host cannot run pool accounts (root and its tools)."""
    if os.geteuid() != 0 or any(shutil.which(t) is None for t in ("id", "useradd", "pkill", "su")):
        print(f"{driver}: needs root and the host tools id, useradd, pkill, su; skipped")
        return True
    return False


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


async def gather_watching_threads(calls: list[Awaitable[T]]) -> tuple[float, int, int, list[T]]:
    """Awaits `calls` at once: (seconds until all returned, threads before, most threads seen, their results)."""
    before = most = threads()
    done = asyncio.Event()

    async def watch() -> None:
        nonlocal most
        while not done.is_set():
            most = max(most, threads())
            await asyncio.sleep(0.02)

    watcher = asyncio.create_task(watch())
    start = time.perf_counter()
    results = await asyncio.gather(*calls)
    elapsed = time.perf_counter() - start
    done.set()
    await watcher
    return elapsed, before, most, results


async def concurrent(shells: list[AsyncShell]) -> tuple[float, int, int, bool]:
    """(seconds until every run returned, threads before, most threads seen, all outputs right)."""
    elapsed, before, most, results = await gather_watching_threads([s.run("sleep 1; echo x", timeout=30) for s in shells])
    return elapsed, before, most, all(r == (0, b"x\r\n") for r in results)


async def cancelled_after(call: Coroutine[Any, Any, object], seconds: float) -> float:
    """Cancels `call` after it has run `seconds`: the seconds until it has returned control."""
    task = asyncio.create_task(call)
    await asyncio.sleep(seconds)
    start = time.perf_counter()
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    return time.perf_counter() - start


async def cancel(shell: AsyncShell) -> tuple[float, float, tuple[int, bytes]]:
    """(seconds for the cancelled run to return, seconds of the next run, its result)."""
    returned = await cancelled_after(shell.run("sleep 100"), 0.3)
    start = time.perf_counter()
    result = await shell.run("echo ok", timeout=30)
    return returned, time.perf_counter() - start, result


async def measure(count: int, rounds: int) -> None:
    pool = PyUserPool(count)
    users = [pool.allocate() for _ in range(count)]
    shells = [AsyncShell(u.spawn()) for u in users]
    try:
        await asyncio.gather(*(s.run("true", timeout=60) for s in shells))  # every shell is up
        elapsed, before, most, right = await concurrent(shells)
        print(f"concurrent  {count} AsyncShells, run('sleep 1; echo x') each: {elapsed:.3f} s wall, "
              f"threads {before} before, at most {most} during; outputs {'right' if right else 'WRONG'}")
        worst_return = worst_next = 0.0
        results = set()
        for _ in range(rounds):
            returned, following, result = await cancel(shells[0])
            worst_return, worst_next = max(worst_return, returned), max(worst_next, following)
            results.add(result)
        print(f"cancel      run('sleep 100') cancelled, {rounds} rounds: control back within {worst_return * 1000:.2f} ms "
              f"(worst); next run('echo ok') within {worst_next * 1000:.1f} ms, results {sorted(results)}")
    finally:
        for s in shells:
            s.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10 shells and 3 cancel rounds")
    parser.add_argument("--shells", type=int, default=50)
    args = parser.parse_args()
    if skipped_without_pool("bench_async_shell"):
        return 0
    signal.alarm(TIME_LIMIT)
    asyncio.run(measure(10 if args.quick else args.shells, 3 if args.quick else ROUNDS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
