#!/usr/bin/env python3
"""Copying whole file systems: ferrowick's clone and snapshots against its peers.

Trees: every directory holds 4 subdirectories and 16 files, filled breadth
first up to N inodes; each file holds 32 bytes. The data tree has 1,280
inodes of which 1,024 files of 1 MiB each (1 GiB), and the same tree with
empty files. Work per contender, in a child process of its own:

  build     the tree by calls: ferrowick mkdir, and open("w") + write + close
            per file; fsspec mkdir + pipe_file; pyfakefs create_dir + create_file
  clone     ferrowick PyFs.clone(); peers copy.deepcopy of fsspec's
            MemoryFileSystem store (with its pseudo-directories) and of a
            pyfakefs FakeFilesystem
  snapshot  ferrowick only: PyFs.snapshot() and PyFs.from_snapshot(), as
            seconds per tree and as MB/s on the data tree

pyfakefs and fsspec spend microseconds to milliseconds per inode, so by
default they skip the largest trees; --sizes runs every contender on the
same sizes.
"""

from __future__ import annotations

import collections
import copy
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, expect, fmt_bytes  # noqa: E402

MIB = 1 << 20
SMALL = b"0123456789abcdef" * 2
DEFAULT_SIZES = {"ferrowick": [1_000, 100_000, 1_000_000], "fsspec": [1_000, 100_000], "pyfakefs": [1_000, 10_000]}
QUICK_SIZES = {"ferrowick": [1_000, 10_000], "fsspec": [1_000], "pyfakefs": [1_000]}
DATA_INODES, DATA_FILE = 1_280, MIB
QUICK_DATA_FILE = 64 * 1024


def tree(n: int) -> list[tuple[str, bool]]:
    """(path, is_directory) for n inodes, parents before children."""
    out: list[tuple[str, bool]] = []
    queue = collections.deque([""])
    while len(out) < n:
        d = queue.popleft()
        for i in range(4):
            out.append((f"{d}/d{i}", True))
            queue.append(f"{d}/d{i}")
        out.extend((f"{d}/f{i}", False) for i in range(16))
    return out[:n]


def sizes(args, name: str) -> list[int]:
    if args.sizes:
        return args.sizes
    return (QUICK_SIZES if args.quick else DEFAULT_SIZES)[name]


def data_file_size(args) -> int:
    return QUICK_DATA_FILE if args.quick else DATA_FILE


def time_copy(clone, fs, check, budget: float) -> float:
    """Best seconds of one clone(fs), each copy dropped before the next.

    As a test suite uses a fixture's copy and drops it, so the allocator's
    free lists are warm; the time to drop a copy is not counted. Repeats
    until ``budget`` seconds are spent (at least three times, at most 30):
    the first touch of fresh memory costs a virtual machine far more than
    any later one, and would otherwise be all a slow row measures.
    """
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or (spent < budget and runs < 30):
        start = time.perf_counter()
        copied = clone(fs)
        elapsed = time.perf_counter() - start
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
        if runs == 1:
            check(copied, fs)
        del copied
    return best


def measure(args, name: str, build, clone, check) -> dict:
    """build(entries, payload) -> a file system; clone(fs) -> a copy; check(copy, fs).

    Every time is per whole tree.
    """
    res: dict = {}
    for n in sizes(args, name):
        entries = tree(n)
        # Best of two, like the clones: a suite rebuilds its fixture again
        # and again. Dropping the previous tree is not timed.
        best, fs = float("inf"), None
        for _ in range(2):
            fs = None
            start = time.perf_counter()
            fs = build(entries, SMALL)
            best = min(best, time.perf_counter() - start)
        res[f"build_{n}"] = best
        res[f"clone_{n}"] = time_copy(clone, fs, check, budget=2.0)
        del fs
    entries = tree(DATA_INODES)
    for key, payload in (("empty", b""), ("data", bytes(range(256)) * (data_file_size(args) // 256))):
        fs = build(entries, payload)
        res[f"clone_{key}"] = time_copy(clone, fs, check, budget=2.0)
        if key == "data":
            res["data_fs"] = fs  # kept for the snapshot rows, if any
    return res


def run_ferrowick(args) -> dict:
    import ferrowick

    def build(entries, payload):
        fs = ferrowick.PyFs()
        for path, is_dir in entries:
            if is_dir:
                fs.mkdir(path)
            else:
                with fs.open(path, "w") as h:
                    h.write(payload)
        return fs

    def check(copy_, fs):
        expect(copy_.tree("/") == fs.tree("/"), "the clone is not the same tree")

    res = measure(args, "ferrowick", build, lambda fs: fs.clone(), check)
    data_fs = res.pop("data_fs")
    for n in sizes(args, "ferrowick"):
        fs = build(tree(n), SMALL)
        saved = fs.snapshot()
        res[f"snapshot_{n}"] = time_copy(lambda f: f.snapshot(), fs, lambda *_: None, budget=1.0)
        res[f"restore_{n}"] = time_copy(ferrowick.PyFs.from_snapshot, saved, lambda *_: None, budget=1.0)
        del fs, saved
    saved = data_fs.snapshot()
    total = len(saved)
    res["snapshot_data"] = time_copy(lambda f: f.snapshot(), data_fs, lambda *_: None, budget=3.0)
    res["restore_data"] = time_copy(ferrowick.PyFs.from_snapshot, saved, lambda *_: None, budget=3.0)
    expect(ferrowick.PyFs.from_snapshot(saved).tree("/") == data_fs.tree("/"), "restore changed the tree")
    res["snapshot_mbps"] = total / res["snapshot_data"] / 1e6
    res["restore_mbps"] = total / res["restore_data"] / 1e6
    res["data_bytes"] = total
    return res


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    def build(entries, payload):
        mfs = MemoryFileSystem(global_store=False, skip_instance_cache=True)
        for path, is_dir in entries:
            if is_dir:
                mfs.mkdir(path)
            else:
                mfs.pipe_file(path, payload)
        return mfs

    def clone(mfs):
        return copy.deepcopy((mfs.store, mfs.pseudo_dirs))

    def check(copied, mfs):
        store, dirs = copied
        expect(len(store) == len(mfs.store) and len(dirs) == len(mfs.pseudo_dirs), "the copy lacks entries")

    res = measure(args, "fsspec", build, clone, check)
    res.pop("data_fs")
    return res


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFilesystem

    def build(entries, payload):
        ffs = FakeFilesystem()
        for path, is_dir in entries:
            if is_dir:
                ffs.create_dir(path)
            else:
                ffs.create_file(path, contents=payload)
        return ffs

    def check(copied, ffs):
        expect(len(list(copied.root.entries)) == len(list(ffs.root.entries)), "the copy lacks entries")

    def clone(ffs):
        # Its open-file table holds the process's standard streams, which
        # cannot be copied: they stay shared, as a user would do it.
        return copy.deepcopy(ffs, {id(s): s for s in (sys.stdin, sys.stdout, sys.stderr)})

    res = measure(args, "pyfakefs", build, clone, check)
    res.pop("data_fs")
    return res


CONTENDERS = {"ferrowick": run_ferrowick, "fsspec": run_fsspec, "pyfakefs": run_pyfakefs}


def fmt_rate(v: float | None) -> str:
    return "n/a" if v is None else f"{v:,.0f} MB/s"


def report(results: dict[str, dict], peers: list[str]) -> None:
    every = sorted({int(k.split("_")[1]) for r in results.values() for k in r if k.startswith("clone_")
                    and k.split("_")[1].isdigit()})
    rows = []
    for n in every:
        rows += [Row(f"build_{n}", f"build {n:,} inodes by calls"), Row(f"clone_{n}", f"clone {n:,} inodes")]
    rows += [Row("clone_empty", f"clone {DATA_INODES:,} inodes, empty files"),
             Row("clone_data", f"clone {DATA_INODES:,} inodes, 1,024 full files")]
    common.print_table("Whole file systems (clone = copy.deepcopy for the peers)", rows, results, peers)

    mine = results.get("ferrowick")
    if not mine:
        return
    snap_rows = []
    for n in every:
        snap_rows += [Row(f"snapshot_{n}", f"snapshot {n:,} inodes"), Row(f"restore_{n}", f"from_snapshot {n:,} inodes")]
    snap_rows += [Row("snapshot_data", f"snapshot of {fmt_bytes(mine['data_bytes'])}"),
                  Row("snapshot_mbps", "  throughput", fmt_rate),
                  Row("restore_data", f"from_snapshot of {fmt_bytes(mine['data_bytes'])}"),
                  Row("restore_mbps", "  throughput", fmt_rate)]
    common.print_table("ferrowick snapshots", snap_rows, {"ferrowick": mine}, [])

    print("\nTargets:")
    for n in every:
        if f"clone_{n}" in mine:
            speedup = mine[f"build_{n}"] / mine[f"clone_{n}"]
            print(f"  clone of {n:,} inodes is {speedup:,.0f}x faster than building it (target >= 20x)")
    ratio = mine["clone_data"] / mine["clone_empty"]
    print(f"  clone with 1,024 full files / with empty files: {ratio:.2f} (target <= 1.5)")
    print(f"  snapshot {mine['snapshot_mbps']:,.0f} MB/s, from_snapshot {mine['restore_mbps']:,.0f} MB/s "
          f"(target >= 1,000 MB/s)")


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--sizes", type=int, nargs="+", help="tree sizes in inodes, for every contender")
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
