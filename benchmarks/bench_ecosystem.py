#!/usr/bin/env python3
"""ferrowickfs: standard file objects and the fsspec file system, against
the built-in open() on tmpfs, io.BytesIO and fsspec's MemoryFileSystem.

Table 1, file objects (per file; open and close included):
  small write / read   open, write or read a 256 B file whole, close
  text read            the small files in text mode ("r", UTF-8), read(), close
  large write          a 16 MiB file written in 64 KiB chunks
  large read           the 16 MiB file read whole with read()
  large chunked read   the 16 MiB file read in 64 KiB chunks
ferrowick is ferrowickfs.open on a PyFs; "open() on tmpfs" is the built-in
open() in a directory under /dev/shm (the system's temporary directory when
there is none); io.BytesIO keeps each file's bytes in a dict and wraps them
in a BytesIO per opening (text through io.TextIOWrapper).

Table 2, fsspec (FerrowickFileSystem(fs=PyFs()) against
MemoryFileSystem(global_store=False)): pipe_file and cat_file of small and
large files, a 4 KiB range of the large file, ls of a directory of 1,000
files with and without details, and rm of a file (per file). Target: at
least 2x fsspec's memory file system on every row of table 2.
"""

from __future__ import annotations

import io
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, autorange, best_of, expect  # noqa: E402

SMALL = b"0123456789abcdef" * 16  # ASCII: the text row reads it too
CHUNK = 64 << 10
DEFAULT = {"files": 1_000, "big_mib": 16}
QUICK = {"files": 200, "big_mib": 2}


def params(args) -> tuple[int, bytes, float]:
    p = QUICK if args.quick else DEFAULT
    return p["files"], bytes(range(256)) * (p["big_mib"] << 12), (0.1 if args.quick else 0.5)


# --------------------------------------------------------------------------
# Table 1: file objects


def measure_files(open_, files: int, big: bytes, budget: float) -> dict:
    """open_(name, mode) opens a file of the contender's store."""
    names = [f"f{i}" for i in range(files)]
    out: dict = {}

    def write_small() -> int:
        for n in names:
            with open_(n, "wb") as f:
                f.write(SMALL)
        return files

    def read_small() -> int:
        for n in names:
            with open_(n, "rb") as f:
                f.read()
        return files

    def read_text() -> int:
        for n in names:
            with open_(n, "r") as f:
                f.read()
        return files

    out["small_write"] = best_of(5, write_small)
    with open_(names[-1], "rb") as f:
        expect(f.read() == SMALL, "small file content")
    out["small_read"] = best_of(5, read_small)
    out["text_read"] = best_of(5, read_text)

    chunks = [memoryview(big)[i : i + CHUNK] for i in range(0, len(big), CHUNK)]

    def write_big() -> int:
        with open_("big", "wb") as f:
            for c in chunks:
                f.write(c)
        return 1

    def read_big() -> int:
        with open_("big", "rb") as f:
            f.read()
        return 1

    def read_chunks() -> int:
        with open_("big", "rb") as f:
            while f.read(CHUNK):
                pass
        return 1

    out["big_write"] = autorange(write_big, budget=budget)
    with open_("big", "rb") as f:
        expect(f.read() == big, "large file content")
    out["big_read"] = autorange(read_big, budget=budget)
    out["big_chunks"] = autorange(read_chunks, budget=budget)
    return out


def run_ferrowick_files(args) -> dict:
    import ferrowick
    import ferrowickfs

    files, big, budget = params(args)
    fs = ferrowick.PyFs()
    result = measure_files(lambda n, m: ferrowickfs.open(fs, "/" + n, m), files, big, budget)
    result.update(measure_fsspec(_ferrowick_fsspec(fs), files, big, budget))
    return result


def run_builtin(args) -> dict:
    files, big, budget = params(args)
    root = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        return measure_files(lambda n, m: open(os.path.join(root, n), m), files, big, budget)
    finally:
        shutil.rmtree(root)


class _Stored(io.BytesIO):
    """A BytesIO that stores its bytes under its name when closed after writing."""

    def __init__(self, store: dict, name: str, mode: str) -> None:
        super().__init__(b"" if "w" in mode else store[name])
        self.store, self.name_, self.writing = store, name, "w" in mode

    def close(self) -> None:
        if self.writing and not self.closed:
            self.store[self.name_] = self.getvalue()
        super().close()


def run_bytesio(args) -> dict:
    files, big, budget = params(args)
    store: dict = {}

    def open_(name: str, mode: str):
        f = _Stored(store, name, mode)
        return f if "b" in mode else io.TextIOWrapper(f, "utf-8")

    return measure_files(open_, files, big, budget)


# --------------------------------------------------------------------------
# Table 2: fsspec


def _ferrowick_fsspec(fs):
    from ferrowickfs import FerrowickFileSystem

    return FerrowickFileSystem(fs=fs)


def measure_fsspec(fs, files: int, big: bytes, budget: float) -> dict:
    fs.mkdir("/bench")
    paths = [f"/bench/d/f{i:05d}" for i in range(files)]
    fs.makedirs("/bench/d", exist_ok=True)
    out: dict = {}

    def pipe_small() -> int:
        for p in paths:
            fs.pipe_file(p, SMALL)
        return files

    def cat_small() -> int:
        for p in paths:
            fs.cat_file(p)
        return files

    out["pipe_small"] = best_of(5, pipe_small)
    expect(fs.cat_file(paths[-1]) == SMALL, "cat_file of a small file")
    out["cat_small"] = best_of(5, cat_small)
    out["pipe_big"] = autorange(lambda: fs.pipe_file("/bench/big", big), budget=budget)
    expect(fs.cat_file("/bench/big") == big, "cat_file of the large file")
    out["cat_big"] = autorange(lambda: fs.cat_file("/bench/big"), budget=budget)
    mid = len(big) // 2
    expect(fs.cat_file("/bench/big", mid, mid + 4096) == big[mid : mid + 4096], "range")
    out["cat_range"] = autorange(lambda: fs.cat_file("/bench/big", mid, mid + 4096), budget=budget)
    expect(len(fs.ls("/bench/d", detail=True)) == files, "ls")
    out["ls_detail"] = autorange(lambda: fs.ls("/bench/d", detail=True), budget=budget)
    out["ls_names"] = autorange(lambda: fs.ls("/bench/d", detail=False), budget=budget)

    def rm_each() -> int:
        for p in paths:
            fs.rm(p)
        return files

    out["rm_file"] = best_of(1, rm_each)
    expect(not fs.exists(paths[0]) and fs.ls("/bench/d") == [], "rm")
    return out


def run_memory(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    files, big, budget = params(args)
    return measure_fsspec(MemoryFileSystem(global_store=False, skip_instance_cache=True), files, big, budget)


CONTENDERS = {
    "ferrowick": run_ferrowick_files,
    "open() on tmpfs": run_builtin,
    "io.BytesIO": run_bytesio,
    "fsspec memory": run_memory,
}

FILE_ROWS = [
    Row("small_write", "small write (256 B)"),
    Row("small_read", "small read (256 B)"),
    Row("text_read", "text read (256 B, UTF-8)"),
    Row("big_write", "large write, 64 KiB chunks"),
    Row("big_read", "large read, whole"),
    Row("big_chunks", "large read, 64 KiB chunks"),
]
FSSPEC_ROWS = [
    Row("pipe_small", "pipe_file 256 B"),
    Row("cat_small", "cat_file 256 B"),
    Row("pipe_big", "pipe_file large"),
    Row("cat_big", "cat_file large"),
    Row("cat_range", "cat_file 4 KiB range"),
    Row("ls_detail", "ls 1,000 files, detail"),
    Row("ls_names", "ls 1,000 files, names"),
    Row("rm_file", "rm one file"),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    common.print_table("ferrowickfs.open: time per file", FILE_ROWS, results,
                       [p for p in peers if p != "fsspec memory"])
    common.print_table("FerrowickFileSystem against fsspec's MemoryFileSystem: time per operation",
                       FSSPEC_ROWS, results, [p for p in peers if p == "fsspec memory"])
    mine, theirs = results.get("ferrowick"), results.get("fsspec memory")
    if mine and theirs:
        short = [r.label for r in FSSPEC_ROWS if theirs[r.key] / mine[r.key] < 2]
        print("\ntarget (2x fsspec memory on every row): " + ("met" if not short else "missed on " + ", ".join(short)))


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
