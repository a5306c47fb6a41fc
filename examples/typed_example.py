"""A tour of ferrowick's seven classes, written to pass `mypy --strict`.

    python examples/typed_example.py

The file-system and terminal parts run anywhere; the pool part needs root
(it creates a throw-away Unix account) and is skipped otherwise.
"""

from __future__ import annotations

import os
import sys

from ferrowick import PyFileHandle, PyFs, PyTerm, PyTerminalSession, PyUser, PyUserPool, Whence
from ferrowick_pool import EOF, Shell


def file_system() -> PyFs:
    fs = PyFs()
    fs.mkdir("/docs")
    fs.touch("/docs/empty")
    with fs.open("/docs/notes.txt", "rw") as handle:
        checked: PyFileHandle = handle
        written: int = checked.write(b"hello, world")
        checked.seek(7, Whence.SEEK_SET)
        rest: bytes = checked.read(16)
        assert (written, rest, checked.tell()) == (12, b"world", 12)
        assert checked.id() > 0
    files, dirs = fs.listdir("/docs")
    assert (files, dirs) == (["empty", "notes.txt"], [])
    assert fs.tree("/", ident="> ") == "> docs/\n>   empty\n>   notes.txt\n"
    assert int(Whence.SEEK_END) == 2 and Whence.SEEK_CUR == 1
    try:
        fs.mkdir("/docs")
    except ValueError as err:
        assert str(err) == "Resource already exists"
    fs.remove("/docs/empty", recurse=False)
    return fs


def terminal(fs: PyFs) -> str:
    term = PyTerm(fs)
    term.exec("cd docs")
    where: str = term.exec("pwd")
    assert where == "/docs"
    return term.exec("cat notes.txt")


def pool_session() -> str:
    pool = PyUserPool(user_count=1)
    user: PyUser = pool.allocate()
    assert user.home().endswith(user.username()) and user.uid() > 0
    session: PyTerminalSession
    with user.spawn() as session:
        session.write(b"echo typed-$((6*7))\nexit\n")
        output = b""
        while chunk := session.read():  # b"" once the shell has exited
            output += chunk
    with Shell(user.spawn()) as shell:  # the same, driven by pattern
        shell.sendline("echo shell-$((6*7))")
        assert shell.expect([EOF, r"shell-(\d+)\r\n"]) == 1 and shell.match is not None
        assert shell.match.group(1) == b"42"
    return output.decode(errors="replace")


def main() -> int:
    fs = file_system()
    print("terminal says:", terminal(fs))
    if os.geteuid() != 0:
        print("pool: skipped (needs root)")
        return 0
    output = pool_session()
    print("pool session says:", "typed-42" if "typed-42" in output else output)
    return 0 if "typed-42" in output else 1


if __name__ == "__main__":
    sys.exit(main())
