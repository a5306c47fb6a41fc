"""ferrowick-pool list | purge [NAME ...]

Pool accounts are the host accounts whose names the pools' generator makes
(test_ and eight letters or digits). A pool manages an account while it
holds the account's host-wide claim; a claim ends with its process, so an
account no live pool manages was left by a pool that is gone.

  list   one line per pool account: name, uid, whether a live pool manages
         it, its running processes, its home
  purge  removes every pool account no live pool manages (or only the
         NAMEs given): its processes, its files in /tmp, /var/tmp, /dev/shm,
         the private copies of those a confined pool made for it, its
         System V IPC objects and scheduled jobs, its home, and the
         account itself (userdel); without NAMEs, also the control groups
         that pools which are gone left behind

Needs root. Exit status: 0 done; 1 some account could not be purged (or
a NAME is not a pool account, or one is managed by a live pool); 2 bad
usage or not root.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import NamedTuple

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class Account(NamedTuple):
    username: str
    uid: int
    managed: bool
    processes: list[int]
    home: str
    home_exists: bool


def host_accounts() -> list[Account]:
    from ferrowick import PyUserPool

    return [Account(*row) for row in PyUserPool._host_accounts()]  # type: ignore[attr-defined]


def purge(username: str) -> None:
    from ferrowick import PyUserPool

    PyUserPool._purge(username)  # type: ignore[attr-defined]


def show(accounts: list[Account]) -> str:
    if not accounts:
        return "no pool accounts on this host\n"
    rows = [("NAME", "UID", "MANAGED", "PROCESSES", "HOME")]
    for a in accounts:
        pids = ",".join(map(str, a.processes[:8])) + (",..." if len(a.processes) > 8 else "")
        rows.append((a.username, str(a.uid), "yes" if a.managed else "no",
                     f"{len(a.processes)}" + (f" ({pids})" if pids else ""),
                     a.home if a.home_exists else f"{a.home} (absent)"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    return "".join("  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[-1] + "\n" for r in rows)


def run_purge(accounts: list[Account], names: list[str]) -> int:
    by_name = {a.username: a for a in accounts}
    status = EXIT_OK
    for name in names:
        if name not in by_name:
            print(f"ferrowick-pool: {name} is not a pool account on this host", file=sys.stderr)
            status = EXIT_FAILED
    chosen = [by_name[n] for n in names if n in by_name] if names else [a for a in accounts if not a.managed]
    for a in chosen:
        try:
            purge(a.username)
        except ValueError as e:
            print(f"ferrowick-pool: kept {a.username}: {e}", file=sys.stderr)
            status = EXIT_FAILED
        else:
            print(f"purged {a.username}")
    groups = 0
    if not names:
        from ferrowick import PyUserPool

        groups = PyUserPool._purge_groups()  # type: ignore[attr-defined]
        if groups:
            print(f"removed {groups} control groups of pools that are gone")
    if not chosen and not names and not groups:
        print("nothing to purge")
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="ferrowick-pool",
        description="Housekeeping of the host's ferrowick pool accounts (root only).",
        epilog="Exit status: 0 done; 1 an account could not be purged; 2 bad usage or not root.",
    )
    commands = parser.add_subparsers(dest="command", metavar="{list,purge}")
    commands.add_parser("list", help="show the pool accounts, whether a live pool manages each, "
                                     "their processes and home")
    purge_parser = commands.add_parser("purge", help="remove the pool accounts no live pool manages")
    purge_parser.add_argument("names", nargs="*", metavar="NAME", help="only these accounts")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return EXIT_OK if e.code == 0 else EXIT_USAGE
    if args.command is None:
        parser.print_usage(sys.stderr)
        return EXIT_USAGE
    if os.geteuid() != 0:
        print("ferrowick-pool: needs root", file=sys.stderr)
        return EXIT_USAGE
    accounts = host_accounts()
    if args.command == "list":
        sys.stdout.write(show(accounts))
        return EXIT_OK
    return run_purge(accounts, args.names)
