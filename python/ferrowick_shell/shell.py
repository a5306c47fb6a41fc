"""An interactive shell over ferrowick's in-memory file system.

Each line goes through ``PyTerm.exec``: output is printed to stdout, errors
to stderr. ``exit`` or end of input leaves. When standard input is not a
terminal, or a script file is named, the lines are run in order and the exit
status is 1 if any command failed. ``--host`` relays to a real bash session
of a pool account instead (host.py).
"""

from __future__ import annotations

import argparse
import sys
from typing import Iterable, TextIO

import ferrowick

PROMPT_SUFFIX = "$ "


def _emit(text: str, stream: TextIO) -> None:
    if not text:
        return
    stream.write(text if text.endswith("\n") else text + "\n")
    stream.flush()


def run_line(term: ferrowick.PyTerm, line: str) -> bool:
    """Runs one command line; returns False when the command failed."""
    try:
        _emit(term.exec(line), sys.stdout)
        return True
    except ValueError as err:
        _emit(str(err), sys.stderr)
        return False


def run_lines(term: ferrowick.PyTerm, lines: Iterable[str]) -> int:
    failed = False
    for raw in lines:
        line = raw.rstrip("\n")
        if line.strip() == "exit":
            break
        if not run_line(term, line):
            failed = True
    return 1 if failed else 0


def _cwd(term: ferrowick.PyTerm) -> str:
    try:
        return term.exec("pwd")
    except ValueError:
        return "?"


def interactive(term: ferrowick.PyTerm) -> int:
    try:
        import readline  # noqa: F401  (line editing and history for input())
    except ImportError:  # pragma: no cover - readline is part of CPython on Linux
        pass
    print("ferrowick shell: an in-memory file system. Type 'help' for commands, 'exit' to leave.")
    while True:
        try:
            line = input(f"ferrowick:{_cwd(term)}{PROMPT_SUFFIX}")
        except EOFError:
            print()
            return 0
        except KeyboardInterrupt:
            print()
            continue
        if line.strip() == "exit":
            return 0
        run_line(term, line)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="ferrowick-shell",
        description="A shell over ferrowick's in-memory file system "
        "(commands: cd, ls, pwd, cat, mkdir, touch, help, rm, echo). "
        "With --host, a real bash session of a throw-away Unix account instead.",
        epilog="Exit status: 0 when every command succeeded, 1 when a command failed (in-memory shell) "
        "or the account or session could not be set up (--host), 2 for usage errors and for --host "
        "without root, 128 + the signal number when --host was ended by a signal (130 for Ctrl-C).",
    )
    parser.add_argument("script", nargs="?", help="run the lines of this file instead of prompting")
    parser.add_argument(
        "--host",
        action="store_true",
        help="root only: allocate an account from a pool of one, start its bash through su and relay "
        "your typing to it and its output back, until end of input or the shell exits; the account "
        "is released on exit, also on Ctrl-C",
    )
    args = parser.parse_args(argv)

    if args.host:
        from ferrowick_shell.host import run_host

        return run_host(args.script)

    term = ferrowick.PyTerm(ferrowick.PyFs())
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            return run_lines(term, f)
    if not sys.stdin.isatty():
        return run_lines(term, sys.stdin)
    return interactive(term)


if __name__ == "__main__":
    sys.exit(main())
