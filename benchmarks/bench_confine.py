#!/usr/bin/env python3
"""What confining a pool costs: spawn and allocate/release per switch.

Rows, one pool per configuration (none, each switch of PyUserPool alone, and
all four together), each measured on an account that already exists, the
configurations taking turns:
  spawn      PyUser.spawn() then read() until the shell's first output; the
             session is closed after the clock stops
  cycle      one allocate/release: PyUserPool.allocate() and dropping the
             PyUser (the release kills the account's processes, sweeps its
             leftovers and, when confined, removes its private places)
Each figure is the median of --rounds runs; "+spawn" and "+cycle" are the
medians' differences to the unconfined pool's.

Then --cycles allocate / spawn / run / release cycles of the all-four pool,
with the host's mount table (/proc/self/mountinfo) and the entries of
/run/ferrowick and of the private places' directories compared before and
after (the pool's claim is taken before the first snapshot).

Needs root and the host's id, useradd, pkill and su; without them it says why
and exits 0.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import statistics
import sys
import time

HOST_TOOLS = ("id", "useradd", "pkill", "su")
PLACES = ("/tmp", "/var/tmp", "/dev/shm")
CONFIGS = [
    ("none", {}),
    ("network=False", {"network": False}),
    ("private_tmp=True", {"private_tmp": True}),
    ("host_processes=False", {"host_processes": False}),
    ("setuid_programs=False", {"setuid_programs": False}),
    ("all four", {"network": False, "private_tmp": True, "host_processes": False, "setuid_programs": False}),
]


def spawn_once(user) -> float:
    start = time.perf_counter()
    session = user.spawn()
    while not session.read():
        pass
    elapsed = time.perf_counter() - start
    session.close()
    return elapsed


def cycle_once(pool) -> float:
    start = time.perf_counter()
    user = pool.allocate()
    del user
    return time.perf_counter() - start


def measure(PyUserPool, rounds: int) -> tuple[list[list[float]], list[list[float]]]:
    """Spawn and cycle times per configuration, in CONFIGS' order."""
    # One pool (and account) per configuration, measured in turns, so that
    # the load of the machine changing meanwhile weighs on all alike.
    pools = [PyUserPool(1, **kwargs) for _, kwargs in CONFIGS]
    for pool in pools:
        cycle_once(pool)  # the account exists (created or adopted) before the clock runs
    cycles: list[list[float]] = [[] for _ in pools]
    for _ in range(rounds):
        for i, pool in enumerate(pools):
            cycles[i].append(cycle_once(pool))
    users = [pool.allocate() for pool in pools]
    spawns: list[list[float]] = [[] for _ in pools]
    for user in users:
        spawn_once(user)
    for _ in range(rounds):
        for i, user in enumerate(users):
            spawns[i].append(spawn_once(user))
    return spawns, cycles


def host_state() -> dict[str, object]:
    with open("/proc/self/mountinfo") as f:
        mounts = f.read()
    private = {p: sorted(os.listdir(f"{p}/ferrowick-private")) if os.path.isdir(f"{p}/ferrowick-private") else None
               for p in PLACES}
    return {"mountinfo": mounts, "/run/ferrowick": sorted(os.listdir("/run/ferrowick")), "private": private}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=25, help="runs per figure (default 25)")
    parser.add_argument("--cycles", type=int, default=200, help="all-four cycles checked against the host (default 200)")
    args = parser.parse_args()
    if os.geteuid() != 0 or any(shutil.which(t) is None for t in HOST_TOOLS):
        print("bench_confine: needs root and id, useradd, pkill, su; skipped")
        return 0
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    signal.alarm(1800)  # a hung shell ends the run rather than the machine's patience
    from ferrowick import PyUserPool

    spawns, cycles = measure(PyUserPool, args.rounds)
    print(f"{'configuration':<24}{'spawn':>10}{'+spawn':>10}{'cycle':>10}{'+cycle':>10}   (medians of {args.rounds})")
    base_spawn, base_cycle = statistics.median(spawns[0]), statistics.median(cycles[0])
    for (name, _), sp, cy in zip(CONFIGS, spawns, cycles):
        spawn, cycle = statistics.median(sp), statistics.median(cy)
        print(f"{name:<24}{spawn * 1e3:>8.2f}ms{(spawn - base_spawn) * 1e3:>+8.2f}ms"
              f"{cycle * 1e3:>8.2f}ms{(cycle - base_cycle) * 1e3:>+8.2f}ms", flush=True)

    pool = PyUserPool(1, **CONFIGS[-1][1])
    cycle_once(pool)
    user = pool.allocate()
    ours = user.username()
    del user
    before = host_state()
    start = time.perf_counter()
    for _ in range(args.cycles):
        user = pool.allocate()
        session = user.spawn()
        status, _ = session.run("echo x > /tmp/f; ps -e > /dev/null", 30)
        assert status == 0
        del session, user
    took = time.perf_counter() - start
    after = host_state()
    print(f"after {args.cycles} all-four cycles of {ours} ({took:.1f} s):")
    # Other programs' pools claim and purge accounts meanwhile: their claim
    # files are named apart from ours.
    runs = [set(state["/run/ferrowick"]) for state in (before, after)]
    foreign = {n for n in runs[0] ^ runs[1] if n.endswith(".claim") and n != f"{ours}.claim"}
    for key in before:
        same = before[key] == after[key]
        if key == "/run/ferrowick" and not same and runs[0] ^ runs[1] == foreign:
            print(f"  {key}: unchanged but for other pools' claims {sorted(foreign)}")
            continue
        print(f"  {key}: {'unchanged' if same else 'CHANGED'}")
        if not same:
            print(f"    before: {before[key]!r}\n    after:  {after[key]!r}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
