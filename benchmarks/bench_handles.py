#!/usr/bin/env python3
"""File handles: ferrowick against io.BytesIO, pyfakefs and fsspec.

Work per contender, in a child process of its own:
  small    open, read whole, close each of many small files (per file)
  write    one large file written sequentially in chunks of 4 KiB, 64 KiB
           and 1 MiB into a new file (per chunk, open and close included)
  read     the same file read back sequentially in the same chunks until the
           end (per chunk, open and close included)

ferrowick's write does not move the position, so a sequential write is
seek(pos, Whence.SEEK_SET) + write(chunk): both calls are counted per chunk.
Its read writes "Read N bytes from file" to file descriptor 1; descriptor 1
points at /dev/null while a worker measures.

io.BytesIO plays the bare in-memory baseline: "opening" a small file is a
dict look-up plus a BytesIO over the stored bytes.

pyfakefs's per-chunk write cost grows with the size of the file written so
far (64 MiB in 4 KiB chunks would take minutes), so by default its large
file is smaller; its ratios for writes therefore flatter it. --big-mib N
runs every contender on the same size.
"""

from __future__ import annotations

import io
import os
import sys
from typing import Protocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, expect, autorange, best_of, fd1_silenced  # noqa: E402

CHUNKS = (4 << 10, 64 << 10, 1 << 20)
SMALL_SIZE = 256
DEFAULT = {"small": 1_000, "big_mib": 64}
QUICK = {"small": 200, "big_mib": 4}
PYFAKEFS_BIG_MIB = {False: 8, True: 2}  # keyed by --quick


def sizes(args, name: str) -> tuple[int, int, float]:
    """(small file count, large file size in bytes, time budget) for one contender."""
    base = QUICK if args.quick else DEFAULT
    mib = args.big_mib or (PYFAKEFS_BIG_MIB[args.quick] if name == "pyfakefs" else base["big_mib"])
    return base["small"], mib << 20, (0.1 if args.quick else 0.6)


def small_contents(i: int) -> bytes:
    return (b"%08d" % i) * (SMALL_SIZE // 8)


def chunk_bytes(size: int) -> bytes:
    return bytes(range(256)) * (size // 256)



class Ops(Protocol):
    """What each contender supplies; one instance per worker.

    read_big returns (total bytes read, the last non-empty chunk).
    """

    def store_small(self, path: str, data: bytes) -> None: ...
    def read_small(self, path: str) -> bytes: ...
    def write_big(self, path: str, chunk: bytes, count: int) -> None: ...
    def read_big(self, path: str, chunk: int) -> tuple[int, bytes]: ...
    def drop(self, path: str) -> None: ...


def read_through(read, chunk: int) -> tuple[int, bytes]:
    """Reads to the end in ``chunk``-sized calls: (total bytes, last chunk)."""
    total, last = 0, b""
    while data := read(chunk):
        total += len(data)
        last = data
    return total, last


def measure(ops: Ops, small_count: int, big_size: int, budget: float) -> dict:
    res: dict = {"big_mib": big_size >> 20}
    small_paths = [f"/s{i:05d}" for i in range(small_count)]
    for i, p in enumerate(small_paths):
        ops.store_small(p, small_contents(i))
    expect(ops.read_small(small_paths[7 % small_count]) == small_contents(7 % small_count),
           "small file read back differs")

    def read_all_small() -> None:
        for p in small_paths:
            ops.read_small(p)

    res["small"] = autorange(read_all_small, small_count, budget)

    for size in CHUNKS:
        chunk = chunk_bytes(size)
        count = big_size // size
        seq = [0]

        def write_once() -> int:
            seq[0] += 1
            path = f"/big{size}_{seq[0]}"
            ops.write_big(path, chunk, count)
            return count

        res[f"write{size}"] = best_of(2, write_once)
        path = f"/big{size}_{seq[0]}"
        for i in range(1, seq[0]):
            ops.drop(f"/big{size}_{i}")
        got: list = []

        def read_once() -> int:
            got[:] = ops.read_big(path, size)
            return count

        res[f"read{size}"] = best_of(2, read_once)
        expect(got[0] == big_size, f"read {got[0]} bytes of a {big_size}-byte file")
        expect(got[1] == chunk, "last chunk read back differs from the one written")
        ops.drop(path)
    return res


class FerrowickOps:
    def __init__(self) -> None:
        import ferrowick

        self.fs = ferrowick.PyFs()
        self.seek_set = ferrowick.Whence.SEEK_SET

    def store_small(self, path, data):
        h = self.fs.open(path, "w")
        h.write(data)
        h.close()

    def read_small(self, path):
        h = self.fs.open(path, "r")
        data = h.read(SMALL_SIZE)
        h.close()
        return data

    def write_big(self, path, chunk, count):
        h = self.fs.open(path, "w")
        seek, write, set_ = h.seek, h.write, self.seek_set
        step = len(chunk)
        for pos in range(0, count * step, step):
            seek(pos, set_)
            write(chunk)
        h.close()

    def read_big(self, path, chunk):
        h = self.fs.open(path, "r")
        got = read_through(h.read, chunk)
        h.close()
        return got

    def drop(self, path):
        self.fs.remove(path, False)


class BytesIOOps:
    def __init__(self) -> None:
        self.files: dict[str, bytes] = {}

    def store_small(self, path, data):
        self.files[path] = data

    def read_small(self, path):
        f = io.BytesIO(self.files[path])
        data = f.read(SMALL_SIZE)
        f.close()
        return data

    def write_big(self, path, chunk, count):
        f = io.BytesIO()
        write = f.write
        for _ in range(count):
            write(chunk)
        self.files[path] = f.getvalue()
        f.close()

    def read_big(self, path, chunk):
        f = io.BytesIO(self.files[path])
        got = read_through(f.read, chunk)
        f.close()
        return got

    def drop(self, path):
        del self.files[path]


class StreamOps:
    """Peers with a file-like open(path, mode): pyfakefs and fsspec."""

    def __init__(self, open_, remove) -> None:
        self.open = open_
        self.remove = remove

    def store_small(self, path, data):
        with self.open(path, "wb") as f:
            f.write(data)

    def read_small(self, path):
        f = self.open(path, "rb")
        data = f.read(SMALL_SIZE)
        f.close()
        return data

    def write_big(self, path, chunk, count):
        f = self.open(path, "wb")
        write = f.write
        for _ in range(count):
            write(chunk)
        f.close()

    def read_big(self, path, chunk):
        f = self.open(path, "rb")
        got = read_through(f.read, chunk)
        f.close()
        return got

    def drop(self, path):
        self.remove(path)


def run_ferrowick(args) -> dict:
    ops = FerrowickOps()
    with fd1_silenced():
        return measure(ops, *sizes(args, "ferrowick"))


def run_bytesio(args) -> dict:
    return measure(BytesIOOps(), *sizes(args, "io.BytesIO"))


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFilesystem
    from pyfakefs.fake_open import FakeFileOpen
    from pyfakefs.fake_os import FakeOsModule

    fake = FakeFilesystem()
    return measure(StreamOps(FakeFileOpen(fake), FakeOsModule(fake).remove),
                   *sizes(args, "pyfakefs"))


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    mfs = MemoryFileSystem(global_store=False, skip_instance_cache=True)
    return measure(StreamOps(mfs.open, mfs.rm_file), *sizes(args, "fsspec"))


CONTENDERS = {
    "ferrowick": run_ferrowick,
    "io.BytesIO": run_bytesio,
    "pyfakefs": run_pyfakefs,
    "fsspec": run_fsspec,
}


def _kib(size: int) -> str:
    return f"{size >> 20} MiB" if size >= 1 << 20 else f"{size >> 10} KiB"


ROWS = [Row("small", f"open+read+close, {SMALL_SIZE} B file")]
ROWS += [Row(f"write{s}", f"sequential write, {_kib(s)} chunk") for s in CHUNKS]
ROWS += [Row(f"read{s}", f"sequential read, {_kib(s)} chunk") for s in CHUNKS]


def report(results: dict[str, dict], peers: list[str]) -> None:
    sizes_ = ", ".join(f"{name} {int(r['big_mib'])} MiB" for name, r in results.items())
    common.print_table(f"File handles (time per file or per chunk); large file: {sizes_}",
                       ROWS, results, peers)
    mine = results.get("ferrowick")
    if mine:
        rates = []
        for s in CHUNKS:
            for kind in ("write", "read"):
                per = mine.get(f"{kind}{s}")
                if per:
                    rates.append(f"{kind} {_kib(s)}: {s / per / (1 << 20):,.0f} MiB/s")
        print("\nferrowick throughput: " + "; ".join(rates))


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--big-mib", type=int, help="large file size in MiB for every contender")
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
