#!/usr/bin/env python3
"""Renaming a large file and a large directory: ferrowick against its peers.

Work per contender, in a child process of its own:
  file       rename one file of 1 GiB into another directory and back
  directory  rename a directory holding 100,000 empty files into another
             directory and back
  replace    write 64 bytes to a temporary file and rename it over an
             existing file of the same size (the write-then-rename pattern
             of editors and package managers), per round

Each rename row is the best time of one rename. After the runs the moved
entries must still hold what they held; for ferrowick also the same inode,
and a handle opened before the first rename must read the same bytes.

Calls: ferrowick PyFs.rename; pyfakefs os.rename / os.replace of its fake
os module; fsspec MemoryFileSystem.mv, which copies and removes (fsspec's
default), so it runs on smaller sizes unless --sizes says otherwise.
"""

from __future__ import annotations

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, expect  # noqa: E402

MIB = 1 << 20
DEFAULT = {"ferrowick": (1024 * MIB, 100_000), "pyfakefs": (1024 * MIB, 100_000), "fsspec": (64 * MIB, 10_000)}
QUICK = {"ferrowick": (64 * MIB, 10_000), "pyfakefs": (64 * MIB, 2_000), "fsspec": (16 * MIB, 1_000)}
ROUNDS = 20  # renames there and back, per row
REPLACE_ROUNDS = 2_000


def sizes(args, name: str) -> tuple[int, int]:
    if args.sizes:
        return args.sizes[0] * MIB, args.sizes[1]
    return (QUICK if args.quick else DEFAULT)[name]


def there_and_back(rename, a: str, b: str, rounds: int) -> float:
    """Best seconds of one rename, moving a -> b -> a `rounds` times."""
    best = float("inf")
    for _ in range(rounds):
        for src, dst in ((a, b), (b, a)):
            start = time.perf_counter()
            rename(src, dst)
            best = min(best, time.perf_counter() - start)
    return best


def replace_rounds(write_tmp, replace, rounds: int) -> float:
    start = time.perf_counter()
    for i in range(rounds):
        write_tmp(bytes([65 + i % 26]) * 64)
        replace("/t/tmp", "/t/target")
    return (time.perf_counter() - start) / rounds


def run_ferrowick(args) -> dict:
    import ferrowick

    size, entries = sizes(args, "ferrowick")
    fs = ferrowick.PyFs()
    for d in ("/a", "/b", "/b/c", "/t"):
        fs.mkdir(d)
    block = b"x" * MIB
    with fs.open("/a/data", "w") as h:
        for offset in range(0, size, MIB):
            h.seek(offset, ferrowick.Whence.SEEK_SET)
            h.write(block)
    fs.mkdir("/a/big")
    for i in range(entries):
        fs.touch(f"/a/big/f{i:06d}")
    ino_file, ino_dir = fs.stat("/a/data").ino, fs.stat("/a/big").ino
    reader = fs.open("/a/data", "r")

    res = {"file": there_and_back(fs.rename, "/a/data", "/b/c/data", ROUNDS),
           "directory": there_and_back(fs.rename, "/a/big", "/b/c/big", ROUNDS)}
    expect(fs.stat("/a/data").ino == ino_file and fs.stat("/a/big").ino == ino_dir, "rename changed an inode")
    expect(len(reader.read(2 * MIB)) == 2 * MIB and fs.stat("/a/data").size == size, "the moved file changed")
    reader.close()
    expect(len(fs.listdir("/a/big")[0]) == entries, "the moved directory lost entries")

    def write_tmp(data: bytes) -> None:
        with fs.open("/t/tmp", "w") as h:
            h.write(data)

    write_tmp(b"0" * 64)
    fs.rename("/t/tmp", "/t/target")
    res["replace"] = replace_rounds(write_tmp, fs.rename, REPLACE_ROUNDS)
    expect(fs.read_bytes("/t/target") == bytes([65 + (REPLACE_ROUNDS - 1) % 26]) * 64, "replace lost a write")
    res["size"], res["entries"] = size, entries
    return res


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFilesystem
    from pyfakefs.fake_os import FakeOsModule

    size, entries = sizes(args, "pyfakefs")
    fake = FakeFilesystem()
    fake_os = FakeOsModule(fake)
    for d in ("/a", "/b", "/b/c", "/t"):
        fake_os.mkdir(d)
    fake.create_file("/a/data", contents=b"x" * size)
    fake_os.mkdir("/a/big")
    for i in range(entries):
        fake.create_file(f"/a/big/f{i:06d}")
    res = {"file": there_and_back(fake_os.rename, "/a/data", "/b/c/data", ROUNDS),
           "directory": there_and_back(fake_os.rename, "/a/big", "/b/c/big", ROUNDS)}
    expect(fake_os.stat("/a/data").st_size == size and len(fake_os.listdir("/a/big")) == entries, "lost data")

    def write_tmp(data: bytes) -> None:
        fd = fake_os.open("/t/tmp", os.O_CREAT | os.O_WRONLY | os.O_TRUNC)
        fake_os.write(fd, data)
        fake_os.close(fd)

    write_tmp(b"0" * 64)
    fake_os.replace("/t/tmp", "/t/target")
    res["replace"] = replace_rounds(write_tmp, fake_os.replace, REPLACE_ROUNDS)
    res["size"], res["entries"] = size, entries
    return res


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    size, entries = sizes(args, "fsspec")
    mfs = MemoryFileSystem(global_store=False, skip_instance_cache=True)
    for d in ("/a", "/b", "/b/c", "/t"):
        mfs.mkdir(d)
    mfs.pipe_file("/a/data", b"x" * size)
    mfs.mkdir("/a/big")
    for i in range(entries):
        mfs.touch(f"/a/big/f{i:06d}")

    def mv(src: str, dst: str) -> None:
        mfs.mv(src, dst, recursive=True)

    # A copy per move: one round there and back is enough to see the cost.
    res = {"file": there_and_back(mv, "/a/data", "/b/c/data", 1),
           "directory": there_and_back(lambda s, d: mv(s, d.rsplit("/", 1)[0]), "/a/big", "/b/c/big", 1)}
    expect(mfs.size("/a/data") == size and len(mfs.ls("/a/big")) == entries, "lost data")
    res["replace"] = replace_rounds(lambda data: mfs.pipe_file("/t/tmp", data), mv, REPLACE_ROUNDS // 10)
    res["size"], res["entries"] = size, entries
    return res


CONTENDERS = {"ferrowick": run_ferrowick, "pyfakefs": run_pyfakefs, "fsspec": run_fsspec}

ROWS = [
    Row("file", "rename a large file"),
    Row("directory", "rename a large directory"),
    Row("replace", "write 64 B + rename over a file"),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    sizes_text = ", ".join(f"{name} {int(r['size']) // MIB:,} MiB / {int(r['entries']):,} entries"
                           for name, r in results.items())
    common.print_table(f"Renaming, file size / directory entries per contender: {sizes_text}", ROWS, results, peers)


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--sizes", type=int, nargs=2, metavar=("MIB", "ENTRIES"),
                   help="file size in MiB and directory entries, for every contender")
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
