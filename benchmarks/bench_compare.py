#!/usr/bin/env python3
"""Every workload of the performance table: ferrowick against its peers, side by side.

Rows, per operation or per entry; each contender runs in a child process
of its own, and every contender runs the same sizes unless it is too slow
for them (then its sizes are printed with the table):
  memory   resident memory per empty file: files in directories of 1,000
           (measured first, in a fresh process)
  create   files created in one directory, one call per file
  list     listdir of a directory of 10,000 files, per entry
  deep     a look-up 64 levels deep: ferrowick lists the deepest directory
           (it has no exists), the peers ask exists()
  rmtree   recursive removal of a directory of 10,000 files, per file
  small    per file: open "w", write 100 B, close, reopen "r", read, close
  read4k   a 64 MiB file read in 4 KiB chunks (ferrowick's per-read report
           line goes to file descriptor 1, pointed at /dev/null)
  write4k, write1m, read1m   sequential writes and reads in 4 KiB / 1 MiB
           chunks; ferrowick's write does not move the position, so each
           chunk is seek + write
Scaling (ferrowick builds only): files created in one directory, per file,
at 10^3 and at 10^6 files.

Contenders: ferrowick, pyfakefs, fsspec (MemoryFileSystem), pyfilesystem2
(MemoryFS), io.BytesIO (the file rows only), and, with --baseline DIR, a
second ferrowick build imported from DIR ("ferrowick-base"), so that an
earlier build is measured in the same run. The closing summary puts each
row's fastest peer beside ferrowick (and the baseline) with its target.
"""

from __future__ import annotations

import gc
import io
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, autorange, best_of, expect, fd1_silenced, fmt_bytes, fmt_time  # noqa: E402

FULL = {"memory": 100_000, "create": 100_000, "list": 10_000, "rmtree": 10_000, "small": 10_000,
        "big_mib": 64, "scale": (1_000, 1_000_000)}
QUICK = {"memory": 10_000, "create": 10_000, "list": 2_000, "rmtree": 2_000, "small": 1_000,
         "big_mib": 4, "scale": (1_000, 100_000)}
# Peers whose cost per entry grows with the directory run smaller sizes
# where that would take minutes (their per-op figures then flatter them):
# pyfakefs creates in a quarter of a millisecond per file at 10,000, and
# fsspec removes a tree of 10,000 files in milliseconds per file.
CAPS = {
    "pyfakefs": {False: {"memory": 10_000, "create": 10_000, "rmtree": 2_000, "small": 2_000},
                 True: {"memory": 2_000, "create": 2_000, "rmtree": 500, "small": 300}},
    "fsspec": {False: {"rmtree": 2_000}, True: {"rmtree": 500}},
}
DEPTH = 64
SCALE_OPS = 1_000_000  # creations per scaling figure
SMALL = b"s" * 100
PEERS_OF_FILE_ROWS = ("bytesio",)
FILE_ROWS = ("read4k", "write4k", "write1m", "read1m")

# (row, target: peer / ferrowick at least this, or a bound for memory)
TARGETS = {
    "list": 1.5, "deep": 2.0, "rmtree": 3.0, "memory": 3.0, "create": 15.0, "small": 15.0,
    "read4k": 0.9, "write4k": 1.0, "write1m": 1.0, "read1m": 1.0,
}


def sizes(args, name: str) -> dict:
    s = dict(QUICK if args.quick else FULL)
    for key, cap in CAPS.get(name, {}).get(args.quick, {}).items():
        s[key] = min(s[key], cap)
    return s


def file_paths(prefix: str, n: int) -> list[str]:
    return [f"{prefix}/f{i:07d}" for i in range(n)]


def deep_path() -> str:
    return "".join(f"/d{i:02d}" for i in range(DEPTH))


def rss_per_entry(n: int, build) -> float:
    """Resident growth per entry while ``build()`` creates n entries."""
    gc.collect()
    before = common.current_rss()
    keep = build()
    gc.collect()
    grown = common.current_rss() - before
    del keep
    return grown / n


# --------------------------------------------------------------------------
# Contenders. Each builds callables for the rows it supports; measure()
# runs them in the same order and with the same timing for everyone.


class Namespace:
    """The file-system rows: a contender fills in these calls."""

    new = None          # () -> a fresh, empty file system object
    mkdir = None        # (fs, path)
    create = None       # (fs, path): an empty file
    listdir = None      # (fs, path) -> names
    lookup = None       # (fs, path) -> truthy for an existing path
    rmtree = None       # (fs, path)
    gone = None         # (fs, path) -> True when nothing is at path
    small = None        # (fs, path, data) -> bytes read back


def measure_namespace(ns: Namespace, s: dict) -> dict:
    res: dict = {}
    # Memory first, while the process is fresh.
    n = s["memory"]
    groups = [file_paths(f"/m{g:03d}", 1000) for g in range((n + 999) // 1000)]

    def build_memory():
        fs = ns.new()
        for g, paths in enumerate(groups):
            ns.mkdir(fs, f"/m{g:03d}")
            for p in paths:
                ns.create(fs, p)
        return fs

    res["memory"] = rss_per_entry(len(groups) * 1000, build_memory)

    n = s["create"]
    paths = file_paths("/c", n)

    def create_all() -> int:
        fs = ns.new()
        ns.mkdir(fs, "/c")
        for p in paths:
            ns.create(fs, p)
        return n

    res["create"] = best_of(2, create_all)

    n = s["list"]
    fs = ns.new()
    ns.mkdir(fs, "/l")
    for p in file_paths("/l", n):
        ns.create(fs, p)
    expect(len(ns.listdir(fs, "/l")) == n, "listing size")
    res["list"] = autorange(lambda: ns.listdir(fs, "/l"), ops_per_call=n, budget=0.5)

    deep = deep_path()
    path = ""
    for i in range(DEPTH):
        path += f"/d{i:02d}"
        ns.mkdir(fs, path)
    expect(bool(ns.lookup(fs, deep)), "deep path exists")
    res["deep"] = autorange(lambda: ns.lookup(fs, deep), budget=0.5)

    n = s["rmtree"]
    rm_paths = file_paths("/r", n)
    best = float("inf")
    for _ in range(3):  # only the removal is timed
        ns.mkdir(fs, "/r")
        for p in rm_paths:
            ns.create(fs, p)
        gc.collect()
        start = time.perf_counter()
        ns.rmtree(fs, "/r")
        best = min(best, time.perf_counter() - start)
        expect(ns.gone(fs, "/r"), "removed tree still there")
    res["rmtree"] = best / n

    n = s["small"]
    small_paths = file_paths("/s", n)
    ns.mkdir(fs, "/s")

    def small_all() -> int:
        for p in small_paths:
            ns.small(fs, p, SMALL)
        return n

    with fd1_silenced():
        expect(ns.small(fs, "/s/check", SMALL) == SMALL, "small file round trip")
        res["small"] = best_of(3, small_all)
    return res


class Files:
    """The large-file rows: open a file for writing/reading and the calls."""

    open_write = None   # () -> writer
    write_at = None     # (writer, position, chunk)
    close_write = None  # (writer)
    open_read = None    # () -> reader
    read = None         # (reader, size) -> bytes
    close_read = None   # (reader)


def measure_files(f: Files, s: dict) -> dict:
    res: dict = {}
    total = s["big_mib"] << 20
    for key, chunk_size in (("write4k", 4 << 10), ("write1m", 1 << 20)):
        chunk = bytes(range(256)) * (chunk_size // 256)
        count = total // chunk_size

        def write_all() -> int:
            w = f.open_write()
            for i in range(count):
                f.write_at(w, i * chunk_size, chunk)
            f.close_write(w)
            return count

        res[key] = best_of(3, write_all)
    for key, chunk_size in (("read4k", 4 << 10), ("read1m", 1 << 20)):
        def read_all() -> int:
            r = f.open_read()
            n = 0
            while f.read(r, chunk_size):
                n += 1
            f.close_read(r)
            return n

        with fd1_silenced():
            expect(read_all() == total // chunk_size, f"{key} chunk count")
            res[key] = best_of(3, read_all)
    return res


def ferrowick_worker(module_dir: str | None):
    def run(args) -> dict:
        if module_dir:
            sys.path.insert(0, module_dir)
        import ferrowick

        if module_dir:
            expect(os.path.dirname(os.path.abspath(ferrowick.__file__)) == os.path.abspath(module_dir),
                   "baseline build imported")
        s = sizes(args, "ferrowick")
        ns = Namespace()
        ns.new = ferrowick.PyFs
        ns.mkdir = lambda fs, p: fs.mkdir(p)
        ns.create = lambda fs, p: fs.touch(p)
        ns.listdir = lambda fs, p: fs.listdir(p)[0]
        ns.lookup = lambda fs, p: fs.listdir(p)
        ns.rmtree = lambda fs, p: fs.remove(p, True)

        def gone(fs, p):
            try:
                fs.listdir(p)
            except ValueError:
                return True
            return False

        ns.gone = gone

        def small(fs, p, data):
            h = fs.open(p, "w")
            h.write(data)
            h.close()
            h = fs.open(p, "r")
            got = h.read(4096)
            h.close()
            return got

        ns.small = small
        res = measure_namespace(ns, s)

        fs = ferrowick.PyFs()
        start = ferrowick.Whence.SEEK_SET
        f = Files()
        f.open_write = lambda: fs.open("/big", "w")

        def write_at(h, pos, chunk):
            h.seek(pos, start)
            h.write(chunk)

        f.write_at = write_at
        f.close_write = lambda h: h.close()
        f.open_read = lambda: fs.open("/big", "r")
        f.read = lambda h, n: h.read(n)
        f.close_read = lambda h: h.close()
        res.update(measure_files(f, s))

        # Scaling: per-file creation cost in one directory, small and huge.
        # Both sizes are averaged over about the same number of creations
        # (the small one in many fresh file systems), so that both figures
        # span a similar stretch of time on a noisy machine.
        for n in s["scale"]:
            paths = file_paths("/x", n)
            rounds = max(1, SCALE_OPS // n)
            elapsed = 0.0
            for _ in range(rounds):
                scale_fs = ferrowick.PyFs()
                scale_fs.mkdir("/x")
                start = time.perf_counter()
                for p in paths:
                    scale_fs.touch(p)
                elapsed += time.perf_counter() - start
                del scale_fs
            res[f"scale_{n}"] = elapsed / (rounds * n)
            del paths
            gc.collect()
        return res

    return run


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFileOpen, FakeFilesystem
    from pyfakefs.fake_os import FakeOsModule

    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY
    ns = Namespace()

    def new():
        fake = FakeFilesystem()
        fake.shuffle_listdir_results = False  # listings in a fixed order, as the others give
        return (fake, FakeOsModule(fake), None, FakeFileOpen(fake))

    def small(fs, p, data):
        with fs[3](p, "wb") as f:
            f.write(data)
        with fs[3](p, "rb") as f:
            return f.read()

    ns.new = new
    ns.mkdir = lambda fs, p: fs[1].mkdir(p)
    ns.create = lambda fs, p: fs[1].close(fs[1].open(p, flags))
    ns.listdir = lambda fs, p: fs[1].listdir(p)
    ns.lookup = lambda fs, p: fs[1].path.exists(p)
    ns.rmtree = lambda fs, p: fs[0].remove_object(p)  # removes the whole tree
    ns.gone = lambda fs, p: not fs[1].path.exists(p)
    ns.small = small
    return measure_namespace(ns, sizes(args, "pyfakefs"))


def small_through_open(fs, p: str, data: bytes) -> bytes:
    """The small-file round trip for peers whose files come from fs.open()."""
    with fs.open(p, "wb") as f:
        f.write(data)
    with fs.open(p, "rb") as f:
        return f.read()


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    ns = Namespace()

    # A private store: the default one is shared by every instance.
    ns.new = lambda: MemoryFileSystem(global_store=False, skip_instance_cache=True)
    ns.mkdir = lambda fs, p: fs.mkdir(p)
    ns.create = lambda fs, p: fs.touch(p)
    ns.listdir = lambda fs, p: fs.ls(p, detail=False)
    ns.lookup = lambda fs, p: fs.exists(p)
    ns.rmtree = lambda fs, p: fs.rm(p, recursive=True)
    ns.gone = lambda fs, p: not fs.exists(p)
    ns.small = small_through_open
    return measure_namespace(ns, sizes(args, "fsspec"))


def run_pyfilesystem2(args) -> dict:
    warnings.filterwarnings("ignore")  # its pkg_resources import warns
    from fs.memoryfs import MemoryFS

    ns = Namespace()

    ns.new = MemoryFS
    ns.mkdir = lambda fs, p: fs.makedir(p)
    ns.create = lambda fs, p: fs.create(p)
    ns.listdir = lambda fs, p: fs.listdir(p)
    ns.lookup = lambda fs, p: fs.exists(p)
    ns.rmtree = lambda fs, p: fs.removetree(p)
    ns.gone = lambda fs, p: not fs.exists(p)
    ns.small = small_through_open
    return measure_namespace(ns, sizes(args, "pyfilesystem2"))


def run_bytesio(args) -> dict:
    s = sizes(args, "bytesio")
    store: dict[str, bytes] = {}

    def small(p: str, data: bytes) -> bytes:
        w = io.BytesIO()
        w.write(data)
        store[p] = w.getvalue()
        w.close()
        r = io.BytesIO(store[p])
        got = r.read(4096)
        r.close()
        return got

    paths = file_paths("/s", s["small"])

    def small_all() -> int:
        for p in paths:
            small(p, SMALL)
        return len(paths)

    res = {"small": best_of(3, small_all)}
    f = Files()
    holder: dict[str, bytes] = {}

    def close_write(b):
        holder["big"] = b.getvalue()
        b.close()

    def write_at(b, pos, chunk):
        b.write(chunk)

    f.open_write = io.BytesIO
    f.write_at = write_at
    f.close_write = close_write
    f.open_read = lambda: io.BytesIO(holder["big"])
    f.read = lambda b, n: b.read(n)
    f.close_read = lambda b: b.close()
    res.update(measure_files(f, s))
    return res


ROWS = [
    Row("memory", "memory per empty file", fmt_bytes),
    Row("create", "create file in one directory"),
    Row("list", "listdir, per entry"),
    Row("deep", "look-up 64 levels deep"),
    Row("rmtree", "recursive removal, per file"),
    Row("small", "small file write + read back"),
    Row("read4k", "read 4 KiB chunk"),
    Row("write4k", "write 4 KiB chunk"),
    Row("write1m", "write 1 MiB chunk"),
    Row("read1m", "read 1 MiB chunk"),
]


def summary(results: dict[str, dict], peers: list[str], args) -> None:
    """Row by row: ferrowick, the fastest peer, their ratio and the target."""
    mine = results.get("ferrowick", {})
    base = results.get("ferrowick-base", {})
    real_peers = [p for p in peers if p != "ferrowick-base"]
    print("\nSummary (ratio = fastest peer / ferrowick; above 1 means ferrowick is faster or smaller)")
    header = f"{'row':9} {'ferrowick':>11} {'fastest peer':>24} {'ratio':>7} {'target':>7}"
    if base:
        header += f" {'baseline':>11} {'ratio':>7}"
    print(header)
    for row in ROWS:
        ran = [(results[p][row.key], p) for p in real_peers if results[p].get(row.key) is not None]
        # io.BytesIO is the reference for the large-file rows only.
        ran = [r for r in ran if (r[1] in PEERS_OF_FILE_ROWS) == (row.key in FILE_ROWS)]
        if not ran or row.key not in mine:
            continue
        best, who = min(ran)
        line = (f"{row.key:9} {row.fmt(mine[row.key]):>11} {who + ' ' + row.fmt(best):>24} "
                f"{best / mine[row.key]:>6.2f}x {TARGETS[row.key]:>6.1f}x")
        if base and row.key in base:
            line += f" {row.fmt(base[row.key]):>11} {best / base[row.key]:>6.2f}x"
        print(line)
    small_n, big_n = sizes(args, "ferrowick")["scale"]
    for name, res in (("ferrowick", mine), ("ferrowick-base", base)):
        lo, hi = res.get(f"scale_{small_n}"), res.get(f"scale_{big_n}")
        if lo and hi:
            print(f"scaling   {name}: create per file {fmt_time(lo)} at {small_n:,}, {fmt_time(hi)} at "
                  f"{big_n:,} ({hi / lo:.2f}x; target at most 1.5x)")
    if "memory" in mine:
        print(f"memory    ferrowick {fmt_bytes(mine['memory'])} per empty file (target at most 150 B)")
    sys.stdout.flush()


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--baseline", metavar="DIR",
                   help="also measure the ferrowick build found in DIR (as ferrowick-base)")
    args = p.parse_args()
    contenders = {"ferrowick": ferrowick_worker(None)}
    if args.baseline:
        contenders["ferrowick-base"] = ferrowick_worker(args.baseline)
    contenders.update({"pyfakefs": run_pyfakefs, "fsspec": run_fsspec, "pyfilesystem2": run_pyfilesystem2,
                       "bytesio": run_bytesio})

    def report(results: dict[str, dict], peers: list[str]) -> None:
        sized = {name: sizes(args, name) for name in results}
        mine = sizes(args, "ferrowick")
        odd = [f"{n}: " + ", ".join(f"{k} {v:,}" for k, v in s.items() if v != mine[k])
               for n, s in sized.items() if s != mine]
        title = "All rows" + (f" (smaller sizes: {'; '.join(odd)})" if odd else "")
        common.print_table(title, ROWS, results, peers)
        summary(results, peers, args)

    return common.main(os.path.abspath(__file__), args, contenders, report)


if __name__ == "__main__":
    sys.exit(main())
