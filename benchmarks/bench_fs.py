#!/usr/bin/env python3
"""Namespace operations on one large directory: ferrowick against its peers.

Work per contender, in a child process of its own:
  create   N empty files in one directory, one call per file
  look up  every file by its path, with the cheapest by-path look-up each
           contender offers (see LOOKUP below)
  list     the directory (time per listed entry, best of 3 listings)
  remove   every file, one call per file
and the peak resident memory growth per file, measured after creation and
look-up (before listing, so the listing's result lists are not counted).

ferrowick's cheapest look-up: PyFs has no stat or exists; listdir and tree
of a file raise ValueError, and touch of an existing file raises too, so
open(path, "") + close() (a handle that may neither read nor write, which
takes and gives back the file's reader count) is the one look-up that returns
normally. The worker also times touch-on-existing (a look-up that ends in
ValueError) and prints it as a note.

pyfakefs spends about a millisecond per create on this machine, so by
default it runs on fewer files; every row is per operation or per entry,
and --files N runs every contender on the same N.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, expect, best_of, fmt_bytes, once  # noqa: E402

DEFAULT_FILES = {"ferrowick": 100_000, "pyfakefs": 10_000, "fsspec": 100_000}
QUICK_FILES = {"ferrowick": 2_000, "pyfakefs": 500, "fsspec": 2_000}

LOOKUP = {
    "ferrowick": 'fs.open(p, "").close()',
    "pyfakefs": "FakeOsModule.stat(p)",
    "fsspec": "MemoryFileSystem.isfile(p)",
}
CREATE = {
    "ferrowick": "fs.touch(p)",
    "pyfakefs": "close(open(p, O_CREAT|O_EXCL|O_WRONLY))",
    "fsspec": "MemoryFileSystem.touch(p)",
}


def file_count(args, name: str) -> int:
    if args.files:
        return args.files
    return (QUICK_FILES if args.quick else DEFAULT_FILES)[name]


def paths_for(n: int) -> list[str]:
    return [f"/d/f{i:06d}" for i in range(n)]



def measure(n: int, create, lookup, listdir, remove) -> dict:
    """Runs the four phases with contender-specific callables.

    ``listdir()`` returns the listed names; the others take one path.
    """
    paths = paths_for(n)
    probe = common.MemoryProbe()
    res = {"n": n}

    def create_all() -> int:
        for p in paths:
            create(p)
        return n

    def lookup_all() -> int:
        for p in paths:
            lookup(p)
        return n

    def remove_all() -> int:
        for p in paths:
            remove(p)
        return n

    res["create"] = once(create_all)
    res["lookup"] = once(lookup_all)
    res["memory"] = probe.growth() / n
    listed: list = []

    def list_once() -> int:
        listed[:] = [listdir()]
        return n

    res["list"] = best_of(3, list_once)
    expect(len(listed[0]) == n, f"listing has {len(listed[0])} names, want {n}")
    listed.clear()
    res["remove"] = once(remove_all)
    expect(len(listdir()) == 0, "directory not empty after removing every file")
    return res


def run_ferrowick(args) -> dict:
    import ferrowick

    n = file_count(args, "ferrowick")
    fs = ferrowick.PyFs()
    fs.mkdir("/d")

    def lookup(p: str) -> None:
        fs.open(p, "").close()

    def listdir() -> list[str]:
        files, dirs = fs.listdir("/d")
        return files + dirs

    res = measure(n, fs.touch, lookup, listdir, lambda p: fs.remove(p, False))

    # The exception-raising alternative, on a fresh directory of the same size.
    fs.mkdir("/e")
    others = [f"/e/f{i:06d}" for i in range(n)]
    for p in others:
        fs.touch(p)

    def touch_existing() -> int:
        for p in others:
            try:
                fs.touch(p)
            except ValueError:
                pass
        return n

    res["lookup_touch"] = once(touch_existing)
    expect(len(fs.listdir("/e")[0]) == n, "touch of existing files changed the directory")
    return res


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFilesystem
    from pyfakefs.fake_os import FakeOsModule

    fake_os = FakeOsModule(FakeFilesystem())
    fake_os.mkdir("/d")
    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY

    def create(p: str) -> None:
        fake_os.close(fake_os.open(p, flags))

    return measure(file_count(args, "pyfakefs"), create, fake_os.stat,
                   lambda: fake_os.listdir("/d"), fake_os.remove)


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    # A private store: the default one is shared by every instance.
    mfs = MemoryFileSystem(global_store=False, skip_instance_cache=True)
    mfs.mkdir("/d")
    # rm_file, not rm: rm expands the path against the whole store first.
    return measure(file_count(args, "fsspec"), mfs.touch, mfs.isfile,
                   lambda: mfs.ls("/d", detail=False), mfs.rm_file)


CONTENDERS = {"ferrowick": run_ferrowick, "pyfakefs": run_pyfakefs, "fsspec": run_fsspec}

ROWS = [
    Row("create", "create file"),
    Row("lookup", "look up by path"),
    Row("list", "list directory, per entry"),
    Row("remove", "remove file"),
    Row("memory", "peak memory per file", fmt_bytes),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    sizes = ", ".join(f"{name} {int(r['n']):,}" for name, r in results.items())
    common.print_table(f"One directory, files per contender: {sizes}", ROWS, results, peers)
    print("\nCalls used:")
    for name in results:
        print(f"  {name:9}  create {CREATE[name]};  look up {LOOKUP[name]}")
    alt = results.get("ferrowick", {}).get("lookup_touch")
    if alt is not None:
        print(f"  ferrowick look-up through touch of an existing file (raises ValueError): "
              f"{common.fmt_time(alt)}/op")


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--files", type=int, help="files per contender (default: per contender)")
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
