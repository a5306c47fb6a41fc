"""Shell and AsyncShell: matching over a stream, through a fake session
(however the output arrives, expect() must tell the story of the output read
whole), and on the real pool what only real sessions show."""

import asyncio
import collections
import operator
import os
import random
import re

import pytest

from conftest import needs_pool
from ferrowick_pool import EOF, TIMEOUT, AsyncShell, Shell
from ferrowick_pool.framing import Frame, framed_line

# A bash session that starts python3 -i, recorded from a pool account.
TRANSCRIPT = (
    b"\x1b[?2004htest_9SQcegNA@vm:~$ python3 -i\r\n\x1b[?2004l\rPython 3.11.2 (main, Apr 28 2025, 14:11:48)"
    b" [GCC 12.2.0] on linux\r\nType \"help\", \"copyright\", \"credits\" or \"license\" for more information.\r\n"
    b">>> print('caf\xc3\xa9 ' * 3 + '\xe2\x86\x92 ok')\r\ncaf\xc3\xa9 caf\xc3\xa9 caf\xc3\xa9 \xe2\x86\x92 ok\r\n"
    b">>> print(6*7)\r\n42\r\n>>> 1/0\r\nTraceback (most recent call last):\r\n  File \"<stdin>\", line 1,"
    b" in <module>\r\nZeroDivisionError: division by zero\r\n>>> print('\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e' * 2)"
    b"\r\n\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\r\n>>> exit()\r\n"
    b"\x1b[?2004htest_9SQcegNA@vm:~$ echo done-$((1+1))\r\n\x1b[?2004l\rdone-2\r\n"
    b"\x1b[?2004htest_9SQcegNA@vm:~$ exit\r\n\x1b[?2004l\rexit\r\n"
)
# (method, pattern): what a driver of that session waits for, in turn.
SCRIPT = [
    ("expect", r"\$ "),
    ("expect", ">>> "),
    ("expect", [r"Error: [^\r]*\r\n", "café"]),                 # the earliest start wins
    ("expect_exact", ["→ ok')\r\ncafé", "ok"]),                # the longer one starts first
    ("expect", [r"(\d+)\r\n", r"4(2)\r\n"]),                  # a tie: the lower index
    ("expect", [EOF, "ZeroDivisionError: (.*)\r\n"]),
    ("expect_exact", ["日本語", "日本"]),                        # a tie: the lower index
    ("expect_exact", [TIMEOUT, "日本語日本語"]),
    ("expect", [r">>> exit\(\)\r\n", r"\$ "]),
    ("expect_exact", b"done-2"),
    ("expect", EOF),
]


class FakeSession:
    """Plays `chunks` back through read(): None stands for a read that times out."""

    def __init__(self, chunks):
        self.chunks = collections.deque(chunks)
        self.written, self.interrupts, self.closed = [], 0, False

    def read(self, buffer=None, timeout=None):
        size = 1024 if buffer is None else operator.index(buffer)
        if not self.chunks:
            return b""
        chunk = self.chunks.popleft()
        if chunk is None:
            raise TimeoutError("Timed out waiting for stdout")
        if len(chunk) > size:
            self.chunks.appendleft(chunk[size:])
        return chunk[:size]

    def write(self, data, timeout=None):
        self.written.append(data)

    def interrupt(self):
        self.interrupts += 1

    def fileno(self):
        raise AssertionError("a fake session is never waited on")

    def close(self):
        self.closed = True

    def run(self, command, timeout=None):
        return 0, b""


def chunked(data, rng):
    cuts = sorted(rng.sample(range(1, len(data)), rng.randint(0, 60)))
    return [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]


def play(shell):
    return [(getattr(shell, method)(pattern, timeout=5), shell.before, shell.after,
             shell.match.groups() if shell.match else None) for method, pattern in SCRIPT]


async def play_async(shell):
    return [(await getattr(shell, method)(pattern, timeout=5), shell.before, shell.after,
             shell.match.groups() if shell.match else None) for method, pattern in SCRIPT]


def test_ten_thousand_chunkings_tell_what_the_whole_transcript_tells():
    whole = play(Shell(FakeSession([TRANSCRIPT])))
    assert [step[0] for step in whole] == [0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0]
    assert whole[5][3] == (b"division by zero",) and whole[-1][1] == b"\r\n\x1b[?2004htest_9SQcegNA@vm:~$ exit\r\n\x1b[?2004l\rexit\r\n"
    rng = random.Random(27)
    for _ in range(10_000):
        chunks = chunked(TRANSCRIPT, rng)
        assert play(Shell(FakeSession(chunks))) == whole, chunks


def test_async_shell_tells_the_same_story():
    whole = play(Shell(FakeSession([TRANSCRIPT])))
    rng = random.Random(22)
    for _ in range(300):
        assert asyncio.run(play_async(AsyncShell(FakeSession(chunked(TRANSCRIPT, rng))))) == whole


def test_timeout_and_end_keep_the_unread_output():
    shell = Shell(FakeSession([b"abc", None, b"def\r\n", None, b"tail"]))
    with pytest.raises(TimeoutError, match=r"\['x'\]; the unread output ends with b'abc'"):
        shell.expect("x", timeout=0)
    assert shell.expect([TIMEOUT, "nothing"], timeout=0) == 0
    assert (shell.before, shell.after, shell.match) == (b"abc", b"", None)
    assert shell.expect("c(d)") == 0 and (shell.before, shell.after, shell.match.group(1)) == (b"ab", b"cd", b"d")
    with pytest.raises(TimeoutError):
        shell.expect("x")
    with pytest.raises(EOFError):
        shell.expect("x")
    assert shell.read_available() == b"ef\r\ntail"
    assert shell.expect(EOF) == 0 and shell.before == b""


def test_patterns_and_data_are_checked_and_sent_as_utf8():
    session = FakeSession([b"x"])
    shell = Shell(session)
    for bad, error in ([[], ValueError], [3, TypeError], [[b"x", 3], TypeError]):
        with pytest.raises(error):
            shell.expect(bad)
    with pytest.raises(TypeError):
        shell.expect_exact([re.compile(b"x")])
    with pytest.raises(ValueError):
        shell.expect("x", timeout=-1)
    shell.send("é")
    shell.sendline()
    shell.sendline(b"ls")
    shell.sendintr()
    assert (session.written, session.interrupts) == ([b"\xc3\xa9", b"\n", b"ls\n"], 1)
    with shell:
        pass
    assert session.closed


class PipeSession(FakeSession):
    """A fake whose output comes through a pipe, so that the event loop waits on it."""

    def __init__(self):
        super().__init__([])
        self.r, self.w = os.pipe()
        os.set_blocking(self.r, False)

    def read(self, buffer=None, timeout=None):
        try:
            return os.read(self.r, 65536)
        except BlockingIOError:
            raise TimeoutError("Timed out waiting for stdout") from None

    def write(self, data, timeout=None):
        super().write(data)
        if data == b"answer\n":
            os.write(self.w, b"answered\r\n")

    def fileno(self):
        return self.r

    def close(self):
        os.close(self.r)
        os.close(self.w)


def test_a_cancelled_expect_sends_ctrl_c_and_a_send_does_not_wait_for_a_read():
    session = PipeSession()

    async def main():
        shell = AsyncShell(session)
        waiting = asyncio.create_task(shell.expect("never"))
        await asyncio.sleep(0.05)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        assert session.interrupts == 1
        with pytest.raises(TimeoutError):
            await shell.expect("never", timeout=0.05)
        # One task waits for the answer while another sends the question.
        answer = asyncio.create_task(shell.expect("answered", timeout=5))
        await asyncio.sleep(0.05)
        await asyncio.wait_for(shell.sendline("answer"), 1)
        assert await answer == 0 and shell.before == b""
        assert session.interrupts == 1

    try:
        asyncio.run(main())
    finally:
        session.close()


def test_a_frame_is_found_however_the_output_arrives():
    token = "0123456789abcdef"
    line = framed_line("echo 'a!'\u00e9", token).decode()
    assert "\n" not in line[:-1] and "fw-" + token not in line and "\\x21" in line and "\\xc3\\xa9" in line
    output = (b"old\r\n" + line.encode() + b"\r\nfw-" + token.encode() + b"-s:0\r\nbody\r\nfw-" + token.encode()
              + b"-e:3\r\nprompt$ ")
    for cut in range(len(output)):
        frame = Frame(token, 5)
        found = frame.scan(output[:cut]) and cut
        found = found or frame.scan(output)
        assert found and (frame.status, output[frame.body_begin:frame.body_end], output[frame.rest:]) == (
            3, b"body\r\n", b"prompt$ ")
    for bad in ("a\nb", "a\0b"):
        with pytest.raises(ValueError):
            framed_line(bad, token)


# --- on the real pool ---------------------------------------------------------


@pytest.fixture
def session():
    from ferrowick import PyUserPool

    session = PyUserPool(1).allocate().spawn()
    yield session
    session.close()


@needs_pool
def test_python_driven_by_its_prompt_and_a_timeout_loses_nothing(session):
    shell = Shell(session)
    shell.sendline("python3 -i")
    assert shell.expect(">>> ") == 0
    shell.sendline("import time; time.sleep(0.5); print(6*7)")
    with pytest.raises(TimeoutError):
        shell.expect("42", timeout=0.2)
    assert shell.expect("42") == 0 and shell.before.endswith(b"print(6*7)\r\n")
    shell.sendline("print('caf\u00e9' * 2)")
    assert shell.expect_exact("caf\u00e9caf\u00e9") == 0
    shell.sendline("exit()")
    assert shell.run("echo ok", timeout=30) == (0, b"ok\r\n")


def threads():
    return len(os.listdir("/proc/self/task"))


@needs_pool
def test_async_run_cancel_and_iteration(session):
    async def main():
        shell = AsyncShell(session)
        before = threads()
        assert await shell.run("cd /tmp; (exit 3)", timeout=30) == (3, b"")
        assert await shell.run("pwd", timeout=30) == (0, b"/tmp\r\n")
        task = asyncio.create_task(shell.run("sleep 100"))
        await asyncio.sleep(0.3)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await shell.run("echo ok", timeout=10) == (0, b"ok\r\n")
        with pytest.raises(TimeoutError):
            await shell.run("sleep 0.5; echo late", timeout=0.1)
        assert await shell.expect("late\r\n") == 0
        await shell.sendline("exit")
        seen = b"".join([chunk async for chunk in shell])
        assert b"exit" in seen and await shell.expect(EOF) == 0
        return before, threads()

    before, after = asyncio.run(main())
    # No thread added; the pool's background look for the host's writable
    # places, begun by the hand-out, may end meanwhile.
    assert after <= before
