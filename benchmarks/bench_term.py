#!/usr/bin/env python3
"""PyTerm.exec throughput against the same work done in Python.

Rows, each measured in a child process per contender:
  echo      exec of echo lines with quoting; peer: shlex.split(line,
            posix=True, comments=True) and joining the words after the first,
            which yields the same text
  split     the word splitter alone; ferrowick: exec(line) minus exec("echo")
            (the cost of a call, a look-up and an empty echo); peer: shlex.split
  ls        exec("ls /big") of a directory of 1,000 entries (900 files, 100
            directories, interleaved); peers compose the same listing in
            Python from pyfakefs's scandir or fsspec's ls(detail=True)
  cat       exec("cat /blob") of a 1 MiB UTF-8 text file; peers read the file
            and decode it with errors="replace"

Every contender's output is checked against the expected text outside the
timed region, so all rows compare the same result.
"""

from __future__ import annotations

import os
import shlex
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import Row, expect, autorange  # noqa: E402

# Lines whose splitting has the same result under both splitters. They differ
# on "\$" and backslash-newline, and shlex also starts a comment at a "#"
# inside a word, so those stay out.
ECHO_LINES = [
    "echo hello world",
    "echo \"double quoted   with spaces\" and 'single $quoted' words",
    "echo a\\ b c\\\\d \"e\\\"f\" 'g''h' # a trailing comment",
    "echo \"nested 'single' inside\" 'and \"double\" inside' mixed\"word\"s",
    "echo\ttabs\t\tand   runs   of    blanks  ",
    "echo " + " ".join(f"word{i} \"q {i}\" 'r{i}'" for i in range(30)),
    "echo 'it''s' \"\" '' \"x#y\" z\\#w \"a\\qb\"",
]

DIR_ENTRIES = 1_000
DIR_EVERY = 10  # one directory per this many entries
BLOB_SIZE = 1 << 20


def dir_entries() -> list[tuple[str, bool]]:
    """(name, is_directory) of /big in creation order."""
    return [(f"d{i:04d}", True) if i % DIR_EVERY == 0 else (f"f{i:04d}", False)
            for i in range(DIR_ENTRIES)]


def expected_ls() -> str:
    entries = dir_entries()
    return ("".join(f"{n}\n" for n, d in entries if not d)
            + "".join(f"{n}/\n" for n, d in entries if d))


def blob() -> bytes:
    parts, size, i = [], 0, 0
    while size < BLOB_SIZE:
        line = f"line {i:06d}: the quick brown fox — ünïcödé ✓ jumps\n".encode()
        parts.append(line)
        size += len(line)
        i += 1
    return b"".join(parts)[:BLOB_SIZE - 64] + b"end\n"


def echo_output(line: str) -> str:
    return " ".join(shlex.split(line, posix=True, comments=True)[1:])



def timer(args):
    """Per-op timing of a repeatable call, with a smaller budget for --quick."""
    budget = 0.1 if args.quick else 0.8

    def per_op(call, ops_per_call: int = 1) -> float:
        return autorange(call, ops_per_call, budget)

    return per_op


def over_lines(run):
    """One call that runs ``run`` on every echo line."""
    def go() -> None:
        for line in ECHO_LINES:
            run(line)
    return go


def run_ferrowick(args) -> dict:
    import ferrowick

    per_op = timer(args)
    fs = ferrowick.PyFs()
    term = ferrowick.PyTerm(fs)
    run = term.exec
    for line in ECHO_LINES:
        expect(run(line) == echo_output(line), f"exec({line!r}) = {run(line)!r}")

    lines = len(ECHO_LINES)
    res = {"echo": per_op(over_lines(run), lines)}
    bare = per_op(over_lines(lambda _line: run("echo")), lines)
    res["split"] = max(res["echo"] - bare, 0.0)
    res["bare"] = bare

    fs.mkdir("/big")
    for name, is_dir in dir_entries():
        (fs.mkdir if is_dir else fs.touch)(f"/big/{name}")
    want = expected_ls()
    expect(run("ls /big") == want, "ls /big output differs")
    res["ls"] = per_op(lambda: run("ls /big"))

    data = blob()
    h = fs.open("/blob", "w")
    h.write(data)
    h.close()
    expect(run("cat /blob") == data.decode(), "cat /blob output differs")
    res["cat"] = per_op(lambda: run("cat /blob"))
    return res


def run_shlex(args) -> dict:
    per_op, lines = timer(args), len(ECHO_LINES)
    res = {"echo": per_op(over_lines(echo_output), lines)}
    res["split"] = per_op(over_lines(lambda line: shlex.split(line, posix=True, comments=True)),
                          lines)
    return res


def run_pyfakefs(args) -> dict:
    from pyfakefs.fake_filesystem import FakeFilesystem
    from pyfakefs.fake_open import FakeFileOpen
    from pyfakefs.fake_os import FakeOsModule

    per_op = timer(args)
    fake = FakeFilesystem()
    fake_os, fake_open = FakeOsModule(fake), FakeFileOpen(fake)
    fake_os.mkdir("/big")
    for name, is_dir in dir_entries():
        if is_dir:
            fake_os.mkdir(f"/big/{name}")
        else:
            fake_os.close(fake_os.open(f"/big/{name}", os.O_CREAT | os.O_WRONLY))

    def ls() -> str:
        files, dirs = [], []
        with fake_os.scandir("/big") as it:
            for entry in it:
                (dirs if entry.is_dir() else files).append(entry.name)
        return "".join(f"{n}\n" for n in files) + "".join(f"{n}/\n" for n in dirs)

    expect(ls() == expected_ls(), "pyfakefs listing differs")
    res = {"ls": per_op(ls)}

    data = blob()
    with fake_open("/blob", "wb") as f:
        f.write(data)

    def cat() -> str:
        with fake_open("/blob", "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    expect(cat() == data.decode(), "pyfakefs cat differs")
    res["cat"] = per_op(cat)
    return res


def run_fsspec(args) -> dict:
    from fsspec.implementations.memory import MemoryFileSystem

    per_op = timer(args)
    mfs = MemoryFileSystem(global_store=False, skip_instance_cache=True)
    mfs.mkdir("/big")
    for name, is_dir in dir_entries():
        (mfs.mkdir if is_dir else mfs.touch)(f"/big/{name}")

    def ls() -> str:
        files, dirs = [], []
        for info in mfs.ls("/big", detail=True):
            name = info["name"].rsplit("/", 1)[-1]
            (dirs if info["type"] == "directory" else files).append(name)
        return "".join(f"{n}\n" for n in files) + "".join(f"{n}/\n" for n in dirs)

    expect(ls() == expected_ls(), "fsspec listing differs")
    res = {"ls": per_op(ls)}

    data = blob()
    mfs.pipe_file("/blob", data)

    def cat() -> str:
        return mfs.cat_file("/blob").decode("utf-8", errors="replace")

    expect(cat() == data.decode(), "fsspec cat differs")
    res["cat"] = per_op(cat)
    return res


CONTENDERS = {
    "ferrowick": run_ferrowick,
    "shlex": run_shlex,
    "pyfakefs": run_pyfakefs,
    "fsspec": run_fsspec,
}

ROWS = [
    Row("echo", "exec echo line (quoting)"),
    Row("split", "word splitting alone"),
    Row("ls", f"ls of {DIR_ENTRIES:,} entries"),
    Row("cat", f"cat of {BLOB_SIZE >> 20} MiB file"),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    common.print_table(f"PyTerm.exec, per line or per call ({len(ECHO_LINES)} echo lines)",
                       ROWS, results, peers)
    bare = results.get("ferrowick", {}).get("bare")
    if bare is not None:
        print(f"\nferrowick exec('echo') baseline, subtracted for 'word splitting alone': "
              f"{common.fmt_time(bare)}/call")


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    return common.main(os.path.abspath(__file__), p.parse_args(), CONTENDERS, report)


if __name__ == "__main__":
    sys.exit(main())
