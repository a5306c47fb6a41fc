"""ferrowick-shell --host: a scripted terminal relayed to a real bash session."""

import os
import pty
import pwd
import re
import select
import signal
import subprocess
import sys
import termios
import time

import pytest

from conftest import needs_pool
from test_pool import live_processes_of
from ferrowick_shell import main

HOST = [sys.executable, "-m", "ferrowick_shell", "--host"]
ACCOUNT = re.compile(rb"(test_[A-Za-z0-9]{8})")


def run_host(stdin_text, timeout=120):
    """Runs `stdin_text` piped, after a `whoami` that names the account."""
    return subprocess.run(HOST, input=b"whoami\n" + stdin_text.encode(), capture_output=True, timeout=timeout)


def assert_released(output):
    """The account named in the output has no process left once the relay is gone."""
    match = ACCOUNT.search(output)
    assert match, output
    uid = pwd.getpwnam(match.group(1).decode()).pw_uid
    deadline = time.monotonic() + 10
    while live_processes_of(uid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert live_processes_of(uid) == []


@needs_pool
@pytest.mark.parametrize(
    "script, expected",
    [
        ("echo m$((40+2))\nexit\n", [b"m42"]),
        # Piped, the output is the commands' own, once: no echo, no prompts,
        # no escape codes, plain line ends, not the shell's own "exit".
        ("echo one\nls /no-such\nexit 3\n", [b"one\nls: cannot access '/no-such': No such file or directory\n"]),
        # End of input without `exit` ends the shell too, after its output.
        ("echo end-$((1+1))\n", [b"end-2"]),
        ("echo tail-$((2+3))", [b"tail-5"]),
        # Output that comes after the relay has gone idle.
        ("sleep 0.3; echo late-$((3*3))\n", [b"late-9"]),
        # The shell waits for input while the relay has nothing to read.
        ("read x; echo got-$x\nhello\n", [b"got-hello"]),
        # A program reading the terminal gets end of input first, then the shell.
        ("cat\nlines\n", [b"lines"]),
        # Every line of a long output, in order.
        ("seq 1 20000\n", [b"".join(b"%d\n" % i for i in range(1, 20001))]),
    ],
)
def test_scripted_sessions(script, expected):
    out = run_host(script)
    assert (out.returncode, out.stderr) == (0, b"")
    name, _, rest = out.stdout.partition(b"\n")
    assert ACCOUNT.fullmatch(name), out.stdout[:200]
    for piece in expected:
        assert piece in rest
    if script.startswith("echo one"):
        assert rest == expected[0]
    assert_released(out.stdout)


@needs_pool
def test_input_larger_than_the_pipes_flows_while_output_comes_back():
    # 400 KiB of input into a program that answers only at the end: the
    # writer must keep going while the pipes fill.
    lines = 5000
    script = "wc -l\n" + ("x" * 80 + "\n") * lines
    out = run_host(script)
    assert out.returncode == 0
    assert out.stdout.endswith(b"\n%d\n" % lines), out.stdout[-300:]
    assert_released(out.stdout)


def read_until(fd, pattern, seconds=30):
    """Reads from `fd` until the bytes read match the regular expression `pattern`."""
    seen = b""
    deadline = time.monotonic() + seconds
    while not re.search(pattern, seen, re.S) and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            seen += chunk
    assert re.search(pattern, seen, re.S), seen
    return seen


@needs_pool
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_ends_the_relay_and_releases_the_account(signum):
    proc = subprocess.Popen(HOST, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        proc.stdin.write(b"whoami; echo up-$((1+1)); sleep 1000\n")
        proc.stdin.flush()
        seen = read_until(proc.stdout.fileno(), rb"up-2\n")
        proc.send_signal(signum)
        rest, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, err) == (128 + signum, b"")
    assert_released(seen + rest)


def command_of(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""


@needs_pool
def test_ctrl_c_stops_the_foreground_command_and_the_session_goes_on():
    proc = subprocess.Popen(HOST, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        proc.stdin.write(b"whoami; echo up-$((1+1)); sleep 1000; echo not-after-sleep\n")
        proc.stdin.flush()
        seen = read_until(proc.stdout.fileno(), rb"up-2\n")
        # Ctrl-C goes to the terminal's foreground job: wait until that is the sleep.
        uid = pwd.getpwnam(ACCOUNT.search(seen).group(1).decode()).pw_uid
        deadline = time.monotonic() + 10
        while not any(command_of(pid) == b"sleep\x001000\x00" for pid in live_processes_of(uid)):
            assert time.monotonic() < deadline
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        proc.stdin.write(b"echo status-$?\n")
        proc.stdin.flush()
        seen += read_until(proc.stdout.fileno(), rb"status-130\n", seconds=10)
        proc.stdin.write(b"echo still-$((2+2))\n")
        rest, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert (proc.returncode, err) == (0, b"")
    assert b"still-4\n" in rest and b"not-after-sleep" not in seen + rest
    assert_released(seen + rest)


@needs_pool
def test_interactive_terminal_is_relayed_and_restored():
    leader, follower = pty.openpty()
    before = termios.tcgetattr(follower)
    proc = subprocess.Popen(HOST, stdin=follower, stdout=follower, stderr=follower)
    try:
        seen = read_until(leader, rb"test_\w{8}@.*\$ ")
        os.write(leader, b"echo m$((40+2))\r")
        seen += read_until(leader, rb"m42")
        # The remote shell echoes; the local terminal must not echo as well.
        assert seen.count(b"echo m$((40+2))") == 1
        os.write(leader, b"\x04")  # Ctrl-D on an empty line ends the shell
        assert proc.wait(timeout=30) == 0
        after = termios.tcgetattr(follower)
    finally:
        proc.kill()
        proc.wait()
        os.close(leader)
        os.close(follower)
    assert after == before
    assert_released(seen)


def test_without_root_it_refuses(monkeypatch, capsys):
    monkeypatch.setattr(os, "geteuid", lambda: 1000)
    assert main(["--host"]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert "--host needs root" in err and "useradd" in err and "su" in err
