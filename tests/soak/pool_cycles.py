#!/usr/bin/env python3
"""Allocate/spawn/echo/release cycles on one user pool, then a clean-up check.

Each cycle hands out between 1 and CAPACITY accounts at once, starts a
shell as each, has it echo a marker and start a background sleeper, and
lets everything go. Afterwards:

  - no process of any pool account (every host account named test_*) is
    left, nor any su child or zombie of this process;
  - this process has exactly the file descriptors it started with;
  - the pool never handed out more distinct accounts than its capacity, and
    refuses the allocation beyond its capacity while all are held.

Needs root and the host tools (useradd, su, pkill, id); without them it says
so and succeeds, like the pool tests.

Usage: pool_cycles.py [--cycles N] [--capacity C]
"""

import argparse
import os
import pwd
import sys
import time

from ferrowick import PyUserPool
from soak_support import finish, pool_skip_reason, read_until

SETTLE_SECONDS = 10  # killed processes may take a moment to disappear


def open_fds():
    return sorted(int(fd) for fd in os.listdir("/proc/self/fd"))


def processes():
    """(pid, ppid, state, command, uids) of every process still there."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
            with open(f"/proc/{entry}/status") as f:
                uid_line = next(line for line in f if line.startswith("Uid:"))
        except (OSError, StopIteration):
            continue  # gone meanwhile
        command = stat[stat.index("(") + 1:stat.rindex(")")]
        state, ppid = stat[stat.rindex(")") + 2:].split()[:2]
        out.append((int(entry), int(ppid), state, command, {int(u) for u in uid_line.split()[1:]}))
    return out


def leftovers(account_uids):
    me = os.getpid()
    found = []
    for pid, ppid, state, command, uids in processes():
        if uids & account_uids:
            found.append(f"pid {pid} ({command}) runs as a pool account")
        elif ppid == me and (state == "Z" or command == "su"):
            found.append(f"pid {pid} ({command}, state {state}) is a child left behind")
    return found


def wait_for_no_leftovers(account_uids):
    deadline = time.monotonic() + SETTLE_SECONDS
    while True:
        found = leftovers(account_uids)
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def cycle(pool, index, width, seen_uids):
    users = [pool.allocate() for _ in range(width)]
    sessions = [u.spawn() for u in users]
    for k, s in enumerate(sessions):
        # A sleeper in the background: release has to kill it.
        s.write(f"sleep 1000 & echo cycle-{index}-{k}\n".encode())
        read_until(s, f"cycle-{index}-{k}".encode())
    seen_uids.update(u.uid() for u in users)
    if index % 2:
        for s in sessions:
            s.close()
    del sessions, s  # closed or not: destruction kills and reaps su
    del users


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=100)
    parser.add_argument("--capacity", type=int, default=3)
    args = parser.parse_args()
    reason = pool_skip_reason()
    if reason:
        print(f"pool_cycles: skipped ({reason})")
        return 0

    fds_before = open_fds()
    start = time.monotonic()
    pool = PyUserPool(args.capacity)
    seen_uids = set()
    allocations = 0
    for i in range(args.cycles):
        width = 1 + i % args.capacity
        cycle(pool, i, width, seen_uids)
        allocations += width

    # Every account held at once: the next allocation must be refused.
    held = [pool.allocate() for _ in range(args.capacity)]
    seen_uids.update(u.uid() for u in held)
    try:
        pool.allocate()
        refused = False
    except ValueError as e:
        refused = str(e) == "Failed to allocate a new user account"
    del held
    elapsed = time.monotonic() - start

    account_uids = {p.pw_uid for p in pwd.getpwall() if p.pw_name.startswith("test_")}
    found = wait_for_no_leftovers(account_uids)
    fds_after = open_fds()
    print(f"pool_cycles: {args.cycles} cycles, {allocations} allocations with a shell each, in {elapsed:.1f} s")
    print(f"pool_cycles: {len(seen_uids)} distinct accounts handed out by a pool of capacity {args.capacity}; "
          f"allocation beyond capacity {'refused' if refused else 'NOT refused'}")
    print(f"pool_cycles: {len(found)} leftover processes; descriptors {len(fds_before)} -> {len(fds_after)}")

    failures = [f"left behind: {f}" for f in found]
    if len(seen_uids) > args.capacity:
        failures.append(f"{len(seen_uids)} distinct accounts from a pool of capacity {args.capacity}")
    if not refused:
        failures.append("the allocation beyond capacity was not refused with the pool's message")
    if fds_after != fds_before:
        failures.append(f"descriptors changed: {fds_before} -> {fds_after}")
    return finish("pool_cycles", failures)


if __name__ == "__main__":
    sys.exit(main())
