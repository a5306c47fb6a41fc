"""Helpers shared by the benchmark drivers.

Every driver measures each contender (ferrowick and its peers) in a fresh
child process of its own, so that one contender's heap, garbage and imported
modules cannot disturb the next one's timings or memory figures. The parent
process only starts the children, collects their numbers and prints a table.

A driver module provides ``CONTENDERS`` (name -> worker function) and calls
``main()``; a worker function receives the parsed arguments and returns a
dict of measurements (seconds per operation, or bytes for memory rows).
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, Iterator

BASELINE = "ferrowick"


# --------------------------------------------------------------------------
# Measuring


def best_of(repeat: int, run: Callable[[], int]) -> float:
    """Runs ``run`` ``repeat`` times and returns the best seconds per op.

    ``run`` performs the work and returns how many operations it did.
    """
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        ops = run()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed / max(ops, 1))
    return best


def once(run: Callable[[], int]) -> float:
    """Times a single pass of ``run``; seconds per op."""
    return best_of(1, run)


def autorange(call: Callable[[], object], ops_per_call: int = 1, budget: float = 0.6,
              repeat: int = 5) -> float:
    """Best seconds per op of a repeatable call, within about ``budget`` seconds.

    One untimed-for-the-result call calibrates how many calls make a batch of
    about budget/repeat seconds; the best of ``repeat`` batches is returned.
    Slow peers thus cost no more wall time than fast ones.
    """
    start = time.perf_counter()
    call()
    first = max(time.perf_counter() - start, 1e-9)
    calls = max(1, int(budget / repeat / first))

    def batch() -> int:
        for _ in range(calls):
            call()
        return calls * ops_per_call

    return best_of(repeat, batch)


def expect(condition: bool, what: str) -> None:
    """Checks a contender's result outside the timed region.

    A contender that computes the wrong thing must not get a time at all.
    """
    if not condition:
        raise SystemExit(f"wrong result: {what}")


def current_rss() -> int:
    """Resident set size of this process now, in bytes (/proc/self/statm)."""
    with open("/proc/self/statm", "rb") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    """Peak resident set size of this process so far, in bytes.

    Native allocations are included, which tracemalloc cannot see.
    """
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class MemoryProbe:
    """Peak memory growth since construction.

    The baseline is the resident size at construction (after a collection);
    ``growth()`` is the peak resident size since process start minus that
    baseline, so it covers every transient high point after the baseline.
    """

    def __init__(self) -> None:
        gc.collect()
        self.baseline = current_rss()

    def growth(self) -> int:
        return max(peak_rss(), current_rss()) - self.baseline


@contextlib.contextmanager
def fd1_silenced() -> Iterator[None]:
    """Points file descriptor 1 at /dev/null for the duration.

    ferrowick's PyFileHandle.read writes a line to the process's standard
    output (the descriptor, not sys.stdout), which would swamp the terminal and
    make every read pay for a terminal write.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


# --------------------------------------------------------------------------
# Formatting


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.0f} ns"


def fmt_bytes(n: float | None) -> str:
    if n is None:
        return "n/a"
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.2f} {unit}"
    return f"{n:.0f} B"


def fmt_ratio(peer: float | None, base: float | None) -> str:
    if peer is None or not base:
        return "n/a"
    return f"{peer / base:.2f}x"


@dataclass(frozen=True)
class Row:
    """One measured quantity: result key, label, and how to print it."""

    key: str
    label: str
    fmt: Callable[[float | None], str] = fmt_time


def print_table(title: str, rows: list[Row], results: dict[str, dict], peers: list[str]) -> None:
    """Prints operation / peer / ferrowick / peer value / ratio.

    The ratio is peer divided by ferrowick: above 1 means ferrowick is
    faster (or, for memory rows, smaller).
    """
    header = ("operation", "peer", f"{BASELINE}/op", "peer/op", "peer/ferrowick")
    lines: list[tuple[str, ...]] = []
    base = results.get(BASELINE, {})
    for row in rows:
        mine = base.get(row.key)
        ran = [p for p in peers if results.get(p, {}).get(row.key) is not None]
        if mine is None and not ran:
            continue
        first = True
        for peer in ran or ["-"]:
            theirs = results.get(peer, {}).get(row.key)
            lines.append((
                row.label if first else "",
                peer,
                row.fmt(mine) if first else "",
                row.fmt(theirs),
                fmt_ratio(theirs, mine),
            ))
            first = False
    widths = [max(len(h), *(len(line[i]) for line in lines)) if lines else len(h)
              for i, h in enumerate(header)]
    rule = "-+-".join("-" * w for w in widths)
    print(f"\n{title}")
    print(" | ".join(h.ljust(w) for h, w in zip(header, widths)))
    print(rule)
    for line in lines:
        cells = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
        cells += [c.rjust(w) for c, w in zip(line[2:], widths[2:])]
        print(" | ".join(cells))
    sys.stdout.flush()


# --------------------------------------------------------------------------
# Driver plumbing


def parser(description: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    p.add_argument("--only", action="append", metavar="NAME",
                   help="run only this contender (repeatable)")
    p.add_argument("--rounds", type=int, default=1, metavar="N",
                   help="run every contender N times, interleaved, and keep each figure's best "
                        "(for machines with a noisy load)")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--result", help=argparse.SUPPRESS)
    return p


def _run_worker(script: str, name: str, argv: list[str]) -> dict | None:
    with tempfile.NamedTemporaryFile(prefix="bench-", suffix=".json", delete=False) as tmp:
        path = tmp.name
    try:
        proc = subprocess.run(
            [sys.executable, script, *argv, "--worker", name, "--result", path],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        if proc.returncode != 0:
            print(f"[{name}] failed with exit status {proc.returncode}:", file=sys.stderr)
            print(proc.stderr.rstrip()[-4000:], file=sys.stderr)
            return None
        if proc.stderr.strip():
            print(f"[{name}] {proc.stderr.rstrip()}", file=sys.stderr)
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    finally:
        os.unlink(path)


def main(script: str, args: argparse.Namespace, contenders: dict[str, Callable],
         report: Callable[[dict[str, dict], list[str]], None]) -> int:
    """Runs one contender (worker mode) or all of them and reports.

    In worker mode the worker's measurements are written as JSON to the file
    given by --result. Otherwise each selected contender runs in a child
    process with the same command-line arguments, and ``report`` prints the
    tables from the collected results and the list of peers that ran.
    """
    if args.worker:
        measured = contenders[args.worker](args)
        with open(args.result, "w", encoding="utf-8") as f:
            json.dump(measured, f)
        return 0

    names = args.only or list(contenders)
    unknown = [n for n in names if n not in contenders]
    if unknown:
        print(f"unknown contender(s): {', '.join(unknown)}; known: {', '.join(contenders)}",
              file=sys.stderr)
        return 2
    argv = [a for a in sys.argv[1:]]
    results: dict[str, dict] = {}
    failed: set[str] = set()
    for _ in range(max(1, args.rounds)):
        for name in names:
            if name in failed:
                continue
            start = time.perf_counter()
            measured = _run_worker(script, name, argv)
            print(f"  {name}: {'done' if measured is not None else 'FAILED'} "
                  f"in {time.perf_counter() - start:.1f} s", file=sys.stderr)
            if measured is None:
                failed.add(name)
                results.pop(name, None)
                continue
            # Every figure is a time or a size per operation: lower is better.
            kept = results.setdefault(name, measured)
            for key, value in measured.items():
                old = kept.get(key)
                if isinstance(old, (int, float)) and isinstance(value, (int, float)):
                    kept[key] = min(old, value)
    peers = [n for n in names if n != BASELINE and n in results]
    report(results, peers)
    return 1 if failed else 0
