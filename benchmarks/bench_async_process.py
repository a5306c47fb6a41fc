#!/usr/bin/env python3
"""Many started commands from one event loop: ferrowick_pool.AsyncProcess.

Figures:
  concurrent  N commands `sleep 1; echo x` started with PyUser.start() on
              one account and each `await communicate()`d at once
              (asyncio.gather): the wall time from the first start until
              all have returned (1 s is the floor: every command sleeps
              1 s), and the process's thread count before and at most
              during the calls (/proc/self/task; AsyncProcess starts no
              thread)
  cancel      an awaited communicate() of a tree of three `sleep 100` (one
              of them in a session of its own) cancelled after 0.3 s: the
              time until the cancelled task has returned control, the time
              until wait() gives the status, and the processes of the
              account left; ROUNDS rounds, the worst of each

Needs root, the host's id, useradd, pkill and su, and a build with
PyUser.start(); without them it prints why and exits 0. The whole driver
ends by SIGALRM after TIME_LIMIT seconds.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import sys
import time

import ferrowick
from bench_async_shell import cancelled_after, gather_watching_threads, skipped_without_pool
from ferrowick_pool import AsyncProcess

TIME_LIMIT = 300  # seconds
ROUNDS = 10
TREE = "sleep 100 & setsid sleep 100 & sleep 100"


def live_processes_of(uid: int) -> int:
    """How many processes (zombies aside) `uid` owns."""
    count = 0
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except (OSError, ValueError):
            continue
        if int(fields["Uid"].split()[0]) == uid and not fields["State"].strip().startswith("Z"):
            count += 1
    return count


async def communicated(user: ferrowick.PyUser, command: str) -> tuple[int | None, bytes, bytes]:
    async with AsyncProcess(user.start(command)) as proc:
        out, err = await proc.communicate(timeout=30)
        return proc.returncode, out, err


async def cancel(user: ferrowick.PyUser) -> tuple[float, float, int]:
    """(seconds for the cancelled call to return, seconds until wait() returned, processes left)."""
    async with AsyncProcess(user.start(TREE)) as proc:
        returned = await cancelled_after(proc.communicate(), 0.3)
        start = time.perf_counter()
        status = await proc.wait()
        waited = returned + time.perf_counter() - start
        assert status == -signal.SIGKILL, status
        return returned, waited, live_processes_of(user.uid())


async def measure(count: int, rounds: int) -> None:
    pool = ferrowick.PyUserPool(1)
    user = pool.allocate()
    await communicated(user, "true")  # the account's first command is behind us
    elapsed, before, most, results = await gather_watching_threads(
        [communicated(user, "sleep 1; echo x") for _ in range(count)]
    )
    right = all(r == (0, b"x\n", b"") for r in results)
    print(f"concurrent  {count} AsyncProcesses, communicate() of 'sleep 1; echo x' each: {elapsed:.3f} s wall, "
          f"threads {before} before, at most {most} during; outputs {'right' if right else 'WRONG'}")
    worst_return = worst_wait = 0.0
    left = 0
    for _ in range(rounds):
        returned, waited, remaining = await cancel(user)
        worst_return, worst_wait = max(worst_return, returned), max(worst_wait, waited)
        left = max(left, remaining)
    print(f"cancel      communicate() of a 3-process tree cancelled, {rounds} rounds: control back within "
          f"{worst_return * 1000:.2f} ms, wait() within {worst_wait * 1000:.2f} ms (worst); at most {left} "
          f"processes of the account left")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10 commands and 3 cancel rounds")
    parser.add_argument("--commands", type=int, default=50)
    args = parser.parse_args()
    if skipped_without_pool("bench_async_process"):
        return 0
    if not hasattr(ferrowick.PyUser, "start"):
        print("bench_async_process: this build's PyUser has no start(); skipped")
        return 0
    signal.alarm(TIME_LIMIT)
    asyncio.run(measure(10 if args.quick else args.commands, 3 if args.quick else ROUNDS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
