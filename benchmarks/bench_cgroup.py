#!/usr/bin/env python3
"""Limits for a session's whole tree: what they cost, and what they hold.

Timing rows (medians over --cycles, one account; the rows take turns, one
session each, so the load of a shared machine weighs on all alike):
  spawn_close          spawn() then close(), no limits
  spawn_close_limits   the same with limits={"memory", "pids", "cpu_percent"}
  spawn_close_rlimits  the same with the per-process rlimits only ("as", "nproc")
  usage                session.usage() on an open session

--figures also measures, through real sessions, what the limits hold:
out-of-memory kills, the peak of one 300 MiB process, the CPU time of two
1-second burners, the process cap under a fork loop, a detached sleeper
after close(), and the control groups left after all cycles.

Needs root and the host's id, useradd, pkill and su; without them, or
without a memory cgroup, it prints why and exits 0.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

MiB = 1 << 20
LIMITS = {"memory": 256 * MiB, "pids": 512, "cpu_percent": 100}


def median_ms(samples: list[float]) -> float:
    return statistics.median(samples) * 1e3


def spawn_close(user, limits) -> float:
    start = time.perf_counter()
    session = user.spawn(limits=limits) if limits else user.spawn()
    session.close()
    return time.perf_counter() - start


def groups_left() -> list[str]:
    """ferrowick groups of this process below its own group in each hierarchy."""
    mine = f"ferrowick-{os.getpid()}-"
    left = []
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if controllers == "":
                root = "/sys/fs/cgroup/unified" if os.path.isdir("/sys/fs/cgroup/unified") else "/sys/fs/cgroup"
            else:
                root = "/sys/fs/cgroup/" + controllers.split(",")[0].removeprefix("name=")
            base = f"{root}{path}".rstrip("/")
            if os.path.isdir(base):
                left += [f"{base}/{e}" for e in os.listdir(base) if e.startswith(mine)]
    return left


def figures(user) -> None:
    def run(session, command, timeout=120):
        status, out = session.run(command, timeout=timeout)
        return status, out.decode(errors="replace")

    py = "/usr/bin/python3"
    touch = py + " -c 'import sys,time; b=bytearray(int(sys.argv[1])<<20); time.sleep(float(sys.argv[2]))'"

    s = user.spawn(limits={"memory": 256 * MiB})
    run(s, " & ".join([f"{touch} 200 1"] * 3) + "; wait")
    status, out = run(s, "echo alive")
    print(f"oom: oom_kills={s.usage().oom_kills} shell answers={out.strip() == 'alive'}")
    s.close()

    s = user.spawn()
    run(s, f"{touch} 300 0")
    s.close()
    print(f"peak of one 300 MiB process: {s.usage().peak_memory / MiB:.1f} MiB")

    s = user.spawn()
    burn = py + " -c 'import time; e=time.process_time()+1; all(time.process_time()<e for _ in iter(int, 1))'"
    run(s, f"{burn} & {burn} & wait")
    s.close()
    print(f"cpu_time of two 1 s burners: {s.usage().cpu_time:.3f} s")

    s = user.spawn(limits={"pids": 50})
    # 200 forks, each child sleeping 3 s; forks past the cap fail at once.
    bomb = ("import os,time\\nmade=0\\nfor _ in range(200):\\n try: pid=os.fork()\\n except OSError: continue\\n"
            " if pid==0: time.sleep(3); os._exit(0)\\n made+=1\\nprint(made)\\n")
    run(s, f"printf '{bomb}' > bomb.py; {py} bomb.py > made.txt &")
    peak_pids = 0
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        peak_pids = max(peak_pids, s.usage().pids)
    status, out = run(s, "echo usable")
    made = run(s, "sleep 3; cat made.txt")[1].split()
    print(f"pids=50 under a fork loop: most seen {peak_pids}, forks that succeeded {made}, "
          f"shell usable={out.strip() == 'usable'}")
    s.close()

    s = user.spawn()
    run(s, "setsid nohup sleep 1000 >/dev/null 2>&1 & disown; true")
    time.sleep(0.2)
    s.close()
    time.sleep(0.5)
    alive = [p for p in os.listdir("/proc") if p.isdigit() and os.stat(f"/proc/{p}").st_uid == user.uid()
             and not open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].startswith(" Z")]
    print(f"setsid sleeper 0.5 s after close: {len(alive)} processes of the account left, account kept: "
          f"{user.uid() > 0}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cycles", type=int, default=200)
    parser.add_argument("--figures", action="store_true")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("needs root to add accounts and make control groups")
        return 0
    import ferrowick

    caps = ferrowick.PyUserPool.capabilities()
    print("capabilities:", caps)
    if caps["memory"] is None:
        print("no memory cgroup on this host")
        return 0
    user = ferrowick.PyUserPool(1).allocate()
    kinds = {"spawn_close": None, "spawn_close_limits": LIMITS, "spawn_close_rlimits": {"as": 1 << 32, "nproc": 512}}
    for limits in kinds.values():  # warm up
        spawn_close(user, limits)
    # Interleaved, so that the load of a shared machine weighs on every row alike.
    rows: dict[str, list[float]] = {name: [] for name in kinds}
    for _ in range(args.cycles):
        for name, limits in kinds.items():
            rows[name].append(spawn_close(user, limits))
    session = user.spawn(limits=LIMITS)
    usage = []
    for _ in range(args.cycles):
        start = time.perf_counter()
        session.usage()
        usage.append(time.perf_counter() - start)
    session.close()
    for name, samples in rows.items():
        print(f"{name:22s} median {median_ms(samples):7.3f} ms   (n={len(samples)})")
    print(f"{'usage':22s} median {median_ms(usage) * 1e3:7.1f} us   (n={len(usage)})")
    print(f"limits cost: {median_ms(rows['spawn_close_limits']) - median_ms(rows['spawn_close']):+.3f} ms per spawn")
    print(f"groups left after {3 * args.cycles + 4} sessions: {len(groups_left())}")
    if args.figures:
        figures(user)
        print(f"groups left at the end: {len(groups_left())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
