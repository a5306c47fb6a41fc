"""An interactive shell over ferrowick's in-memory file system.

Each line goes through ``PyTerm.exec``: output is printed to stdout, errors
to stderr. ``exit`` or end of input leaves. When standard input is not a
terminal, or a script file is named, the lines are run in order, each error
names its line ("line 3: ..."), and the exit status is 1 if any command
failed; a script that cannot be read is one line on stderr and status 2.
``--host`` relays to a real bash session of a pool account instead (host.py).
"""

from __future__ import annotations

import argparse
import sys
from typing import Iterable, TextIO

import ferrowick
from ferrowick_shell.script import EXIT_UNREADABLE, ScriptError, decoded_lines, read_script

PROMPT_SUFFIX = "$ "


def _emit(text: str, stream: TextIO) -> None:
    if not text:
        return
    stream.write(text if text.endswith("\n") else text + "\n")
    stream.flush()


def run_line(term: ferrowick.PyTerm, line: str, where: str = "") -> bool:
    """Runs one command line; returns False when the command failed.

    An error is printed after `where` ("line 3: "), if given.
    """
    try:
        _emit(term.exec(line), sys.stdout)
        return True
    except ValueError as err:
        _emit(f"{where}{err}", sys.stderr)
        return False


def run_lines(term: ferrowick.PyTerm, lines: Iterable[str]) -> int:
    failed = False
    for number, line in enumerate(lines, 1):
        if line.strip() == "exit":
            break
        if not run_line(term, line, f"line {number}: "):
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
        "or the account or session could not be set up (--host), 2 for usage errors, a script that "
        "cannot be read (missing, a directory, not UTF-8) and --host without root, 128 + the signal "
        "number when --host was ended by SIGTERM or SIGHUP.",
    )
    parser.add_argument("script", nargs="?", help="run the lines of this file instead of prompting")
    parser.add_argument(
        "--host",
        action="store_true",
        help="root only: allocate an account from a pool of one, start its bash through su and relay "
        "your typing to it and its output back, until end of input or exit; Ctrl-C stops the "
        "tenant's foreground command; piped input gets the commands' output only (no echo, prompts "
        "or escape codes); the account is released on every way out",
    )
    args = parser.parse_args(argv)

    if args.host:
        from ferrowick_shell.host import run_host

        return run_host(args.script)

    term = ferrowick.PyTerm(ferrowick.PyFs())
    try:
        if args.script:
            return run_lines(term, read_script(args.script))
        if not sys.stdin.isatty():
            # Line by line as the input comes: a line that is not UTF-8 ends
            # the run where it stands.
            return run_lines(term, decoded_lines(sys.stdin.buffer, "standard input"))
    except ScriptError as why:
        print(f"ferrowick-shell: {why}", file=sys.stderr)
        return EXIT_UNREADABLE
    return interactive(term)


if __name__ == "__main__":
    sys.exit(main())
