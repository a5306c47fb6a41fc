#!/usr/bin/env python3
"""Allocate/spawn/echo/release cycles on one user pool, then a clean-up check.

Each cycle hands out between 1 and CAPACITY accounts at once, starts a
shell as each, has it echo a marker, leave files, a FIFO and a System V
shared memory segment in the shared places and start background processes
that leave the session (nohup, setsid), and lets everything go (every third
cycle through PyUser.release() first). The first
account's home also gets a directory chain --deep-chain levels deep, which
the next hand-out must remove. Afterwards:

  - no process of an account the pool handed out is left (checked after
    each cycle too), nor any su child or zombie of this process;
  - no file of such an account is left in /tmp, /var/tmp or /dev/shm, and
    no System V IPC object of one;
  - this process has exactly the file descriptors it started with;
  - the pool never handed out more distinct accounts than its capacity, and
    refuses the allocation beyond its capacity while all are held.

Needs root and the host tools (useradd, su, pkill, id); without them it says
so and succeeds, like the pool tests.

Usage: pool_cycles.py [--cycles N] [--capacity C] [--deep-chain LEVELS]
"""

import argparse
import os
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


def leftovers(account_uids, zombies=True):
    me = os.getpid()
    found = []
    for pid, ppid, state, command, uids in processes():
        if uids & account_uids and (zombies or state != "Z"):
            found.append(f"pid {pid} ({command}) runs as a pool account")
        elif ppid == me and (state == "Z" or command == "su"):
            found.append(f"pid {pid} ({command}, state {state}) is a child left behind")
    return found


def wait_for_no_leftovers(account_uids, zombies=True):
    deadline = time.monotonic() + SETTLE_SECONDS
    while True:
        found = leftovers(account_uids, zombies)
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


SHARED_PLACES = ("/tmp", "/var/tmp", "/dev/shm")


def leftover_files(account_uids):
    """Entries of pool accounts in the shared places, at any depth (without
    following links)."""
    found = []
    for place in SHARED_PLACES:
        for root, dirs, files in os.walk(place):
            if root == "/tmp":
                dirs[:] = [d for d in dirs if d != "tmp_user_home"]
            for name in dirs + files:
                path = os.path.join(root, name)
                try:
                    if os.lstat(path).st_uid in account_uids:
                        found.append(path)
                except OSError:
                    pass
    return found


def leftover_ipc(account_uids):
    found = []
    for table in ("shm", "msg", "sem"):
        with open(f"/proc/sysvipc/{table}") as f:
            header = f.readline().split()
            for line in f:
                row = dict(zip(header, line.split()))
                if int(row["uid"]) in account_uids or int(row["cuid"]) in account_uids:
                    found.append(f"{table} {row[header[1]]}")
    return found


def plant_chain(home, levels):
    """A directory chain `levels` deep in `home`, made by root below a
    descriptor (no path grows with the depth)."""
    fd = os.open(home, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(levels):
            os.mkdir("d", dir_fd=fd)
            deeper = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = deeper
    finally:
        os.close(fd)


def cycle(pool, index, width, seen_uids, deep_chain):
    users = [pool.allocate() for _ in range(width)]
    sessions = [u.spawn() for u in users]
    for k, s in enumerate(sessions):
        # Leftovers and processes that leave the session: the next hand-out
        # must find none of them.
        tag = f"soak-{os.getpid()}-{index}-{k}"
        s.write(f"echo x > /tmp/{tag}; mkfifo /var/tmp/{tag}; mkdir -p /dev/shm/{tag}/a; echo x > /dev/shm/{tag}/a/f;"
                f" ipcmk -M 4096 >/dev/null 2>&1; nohup sleep 1000 >/dev/null 2>&1 & setsid sleep 1000 &"
                f" sleep 1000 & echo cycle-{index}-{k}\n".encode())
        read_until(s, f"cycle-{index}-{k}".encode())
    if index == 0 and deep_chain:
        plant_chain(users[0].home(), deep_chain)
    uids = {u.uid() for u in users}
    seen_uids.update(uids)
    if index % 2:
        for s in sessions:
            s.close()
    if index % 3 == 2:  # release() with the sessions still held kills them too
        for u in users:
            u.release()
    del sessions, s  # closed or not: destruction kills and reaps su
    del users
    return uids


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=100)
    parser.add_argument("--capacity", type=int, default=3)
    parser.add_argument("--deep-chain", type=int, default=25000,
                        help="levels of the directory chain left in the first home (0: none)")
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
    found = []
    for i in range(args.cycles):
        width = 1 + i % args.capacity
        uids = cycle(pool, i, width, seen_uids, args.deep_chain)
        allocations += width
        # Now, not only at the end: the next hand-out of an account kills
        # what an earlier release left running, and would hide it. Killed
        # orphans stay zombies until the host's init reaps them (a second or
        # more here); only the final check waits for that.
        found += [f"after cycle {i}: {f}" for f in wait_for_no_leftovers(uids, zombies=False)]

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

    # Checked while the pool still holds its accounts' claims: no other pool
    # on the host can hand them out meanwhile, and the accounts of other
    # pools, busy with their own tenants, are none of this run's business.
    found += wait_for_no_leftovers(seen_uids)
    found += [f"file {f}" for f in leftover_files(seen_uids)]
    found += [f"IPC object {o}" for o in leftover_ipc(seen_uids)]
    del pool  # the pool holds one claim descriptor per account it manages
    fds_after = open_fds()
    print(f"pool_cycles: {args.cycles} cycles, {allocations} allocations with a shell each, in {elapsed:.1f} s")
    print(f"pool_cycles: {len(seen_uids)} distinct accounts handed out by a pool of capacity {args.capacity}; "
          f"allocation beyond capacity {'refused' if refused else 'NOT refused'}")
    print(f"pool_cycles: {len(found)} leftover processes, files or IPC objects; "
          f"descriptors {len(fds_before)} -> {len(fds_after)}")

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
