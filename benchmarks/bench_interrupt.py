#!/usr/bin/env python3
"""Interrupting a session's job, and run() with an output cap.

Rows:
  interrupt_full   interrupt() of `sleep 30` after a write the shell could
                   not take (the write timed out, or su took it all), in
                   seconds per call, worst of ROUNDS; then run("echo done")
                   must answer
  cat_then_run     interrupt() of `cat` reading the terminal, then at once
                   run("echo done"): how many of ROUNDS answered, and the
                   slowest run
  sigkill_repl     interrupt(signal.SIGKILL) of `python3 -i` (which ignores
                   Ctrl-C): the shell answers afterwards
  cap_yes, cap_zero   (measured first) run("yes", timeout=2, max_output=1 MiB) and
                   run("head -c 400000000 /dev/zero", max_output=1 MiB): the
                   growth of this process's peak resident memory (VmHWM) and
                   of su's resident memory, in MiB

Needs root and the host's id, useradd, pkill and su; without them it prints
why and exits 0.
"""

from __future__ import annotations

import os
import signal
import sys
import time

ROUNDS = 20
MIB = 1 << 20


def vm_kib(pid: int | str, field: str) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def drain(session) -> None:
    try:
        while session.read(65536, timeout=0.2):
            pass
    except TimeoutError:
        pass


def main() -> int:
    if os.geteuid() != 0:
        print("bench_interrupt: needs root (creates throw-away accounts)")
        return 0
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    from ferrowick import PyUserPool

    session = PyUserPool(1).allocate().spawn()
    session.run("true", timeout=30)
    drain(session)

    for key, command, timeout in (("cap_yes", "yes", 2), ("cap_zero", "head -c 400000000 /dev/zero", 120)):
        hwm, su_rss = vm_kib("self", "VmHWM"), vm_kib(session.pid, "VmRSS")
        try:
            status, out = session.run(command, timeout=timeout, max_output=MIB)
            result = f"status {status}, {len(out)} bytes"
        except TimeoutError:
            session.interrupt()
            result = "timed out (as asked)"
            session.run("true", timeout=30)
        grew = (vm_kib("self", "VmHWM") - hwm) / 1024
        su_grew = (vm_kib(session.pid, "VmRSS") - su_rss) / 1024
        print(f"{key:<15} {result}; peak RSS +{grew:.1f} MiB, su RSS +{su_grew:.1f} MiB")
        drain(session)
    worst, answered = 0.0, 0
    for _ in range(ROUNDS):
        session.write(b"sleep 30\n")
        time.sleep(0.1)
        try:
            session.write(b"echo junk\n" * 100_000, timeout=0.3)
        except TimeoutError:
            pass
        start = time.monotonic()
        session.interrupt()
        worst = max(worst, time.monotonic() - start)
        try:
            answered += session.run("echo done", timeout=30) == (0, b"done\r\n")
        except TimeoutError:
            pass
        drain(session)
    print(f"interrupt_full  worst {worst * 1000:.1f} ms of {ROUNDS}; run answered {answered}/{ROUNDS}")

    ok, slowest = 0, 0.0
    for _ in range(ROUNDS):
        session.write(b"cat\n")
        time.sleep(0.05)
        session.interrupt()
        start = time.monotonic()
        try:
            ok += session.run("echo done", timeout=5) == (0, b"done\r\n")
        except TimeoutError:
            pass
        slowest = max(slowest, time.monotonic() - start)
    print(f"cat_then_run    {ok}/{ROUNDS} answered, slowest run {slowest * 1000:.1f} ms")

    session.write(b"python3 -i\n")
    time.sleep(1)
    session.interrupt()  # KeyboardInterrupt: the interpreter stays
    time.sleep(0.2)
    session.interrupt(signal.SIGKILL)
    status, out = session.run("echo alive", timeout=10)
    print(f"sigkill_repl    shell answered: {(status, out) == (0, b'alive\r\n')}")
    drain(session)

    session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
