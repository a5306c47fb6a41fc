#!/usr/bin/env python3
"""One command per round trip: PyTerminalSession.run() against doing it by hand.

Rows, each measured in a child process per contender:
  run_true   the command `true` run in the account's shell, until its exit
             status is known; ferrowick: session.run("true") on an open
             session (output and status framed by markers, prompt and echo
             left out); subprocess-marker: the same done by hand on the same
             `su` command line opened with subprocess.Popen: write
             `true; echo <marker>$?`, then os.read until the marker and the
             status come back; su-per-command: one `su -s /bin/bash -c true
             NAME` per command through subprocess.run (a new login each time)
  run_output the same for `seq 1 2000` (about 9 KiB of output)

Needs root and the host's id, useradd, pkill and su; without them the driver
prints why and exits 0. Accounts are reserved as bench_pool does (see there):
the first --skip-accounts names of the sequence are kept aside, never
released by the worker.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_pool  # noqa: E402
import common  # noqa: E402
from bench_pool import account_of, reserve_account, su_command, timing  # noqa: E402
from common import Row, autorange, expect  # noqa: E402

COMMANDS = {"run_true": "true", "run_output": "seq 1 2000"}
SEQ_LINES = 2000


def check_output(key: str, output: bytes) -> None:
    if key == "run_output":
        expect(output.split() == [b"%d" % i for i in range(1, SEQ_LINES + 1)], "seq output")


def run_ferrowick(args) -> dict:
    budget, repeat = timing(args)
    _pool, user = reserve_account(args)
    session = user.spawn()
    res = {}
    for key, command in COMMANDS.items():
        status, output = session.run(command, timeout=60)
        expect(status == 0, f"{command} failed")
        check_output(key, output)
        res[key] = autorange(lambda c=command: session.run(c), budget=budget, repeat=repeat)
    session.close()
    return res


def run_subprocess_marker(args) -> dict:
    budget, repeat = timing(args)
    _pool, user = reserve_account(args)
    acct = account_of(user)
    proc = subprocess.Popen(su_command(acct), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    fd_in, fd_out = proc.stdin.fileno(), proc.stdout.fileno()
    counter = iter(range(10**9))

    def by_hand(command: str) -> tuple[int, bytes]:
        n = next(counter)
        # The marker is spelled in two pieces, so the echoed line never holds it.
        os.write(fd_in, f"{command}; printf '%s%s:%s\\n' mark {n} $?\n".encode())
        start = f"mark{n}:".encode()
        seen = b""
        while start not in seen or b"\r\n" not in seen.rpartition(start)[2]:
            chunk = os.read(fd_out, 65536)
            expect(bool(chunk), "the shell ended")
            seen += chunk
        head, _, status = seen.rpartition(start)
        return int(status.split(b"\r\n", 1)[0]), head

    res = {}
    for key, command in COMMANDS.items():
        status, _ = by_hand(command)
        expect(status == 0, f"{command} failed")
        res[key] = autorange(lambda c=command: by_hand(c), budget=budget, repeat=repeat)
    proc.kill()
    proc.wait()
    return res


def run_su_per_command(args) -> dict:
    budget, repeat = timing(args)
    _pool, user = reserve_account(args)
    name = user.username()

    def once(command: str) -> tuple[int, bytes]:
        done = subprocess.run(["su", "-s", "/bin/bash", "-c", command, name], stdin=subprocess.DEVNULL,
                              capture_output=True)
        return done.returncode, done.stdout

    res = {}
    for key, command in COMMANDS.items():
        status, output = once(command)
        expect(status == 0, f"{command} failed")
        check_output(key, output)
        res[key] = autorange(lambda c=command: once(c), budget=budget, repeat=repeat)
    return res


CONTENDERS = {
    "ferrowick": run_ferrowick,
    "subprocess-marker": run_subprocess_marker,
    "su-per-command": run_su_per_command,
}

ROWS = [
    Row("run_true", 'run("true"), one round trip'),
    Row("run_output", 'run("seq 1 2000"), ~9 KiB back'),
]


def report(results: dict[str, dict], peers: list[str]) -> None:
    common.print_table("One command per round trip on a shell session", ROWS, results, peers)


def main() -> int:
    p = common.parser(__doc__.splitlines()[0])
    p.add_argument("--skip-accounts", type=int, default=bench_pool.DEFAULT_SKIP, metavar="N",
                   help="accounts of the name sequence to keep aside before the measured one")
    args = p.parse_args()
    why = bench_pool.missing_prerequisite()
    if why:
        print(f"bench_session skipped: {why}")
        return 0
    if not args.worker:
        return common.main(os.path.abspath(__file__), args, CONTENDERS, report)
    signal.alarm(bench_pool.WORKER_TIMEOUT)
    status = common.main(os.path.abspath(__file__), args, CONTENDERS, report)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)  # never release the kept accounts (see bench_pool)


if __name__ == "__main__":
    sys.exit(main())
