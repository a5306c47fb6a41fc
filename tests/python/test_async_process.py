"""AsyncProcess: communicate(), wait(), iteration, timeouts and cancellation
through a process over plain pipes (every call it gets must return at once),
and on the real pool a started command's tree killed by a cancellation."""

import asyncio
import errno
import os
import signal
import subprocess
import time

import pytest

from conftest import needs_pool
from ferrowick_pool import AsyncProcess


class PipeProcess:
    """PyProcess's calls over subprocess.Popen: the command in a process
    group of its own, which kill() kills. Refuses any call that could block."""

    def __init__(self, command):
        self.popen = subprocess.Popen(["/bin/bash", "-c", command], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, start_new_session=True)
        for f in (self.popen.stdin, self.popen.stdout, self.popen.stderr):
            os.set_blocking(f.fileno(), False)
        self.pid = self.popen.pid
        self.kills = 0

    @property
    def returncode(self):
        return self.popen.poll()

    def write(self, data, timeout=None):
        assert timeout == 0 and len(data) <= 4096
        try:
            assert os.write(self.popen.stdin.fileno(), data) == len(data)  # a pipe takes a small piece whole
        except BlockingIOError:
            raise TimeoutError("Timed out after writing 0 bytes") from None
        except BrokenPipeError:
            raise ValueError("Failed to write to the stdin of the process: Broken pipe") from None

    def close_stdin(self):
        self.popen.stdin.close()

    def _read(self, stream, buffer, timeout):
        assert timeout == 0
        try:
            return os.read(stream.fileno(), buffer)
        except BlockingIOError:
            raise TimeoutError("Timed out waiting for stdout") from None

    def read(self, buffer=1024, timeout=None):
        return self._read(self.popen.stdout, buffer, timeout)

    def read_err(self, buffer=1024, timeout=None):
        return self._read(self.popen.stderr, buffer, timeout)

    def fileno(self):
        return self.popen.stdout.fileno()

    def fileno_err(self):
        return self.popen.stderr.fileno()

    def kill(self):
        self.kills += 1
        try:
            os.killpg(self.pid, signal.SIGKILL)  # the group outlives its leader while a member lives
        except ProcessLookupError:
            pass

    def close(self):
        self.kill()
        self.popen.wait()
        for f in (self.popen.stdin, self.popen.stdout, self.popen.stderr):
            f.close()


def threads():
    return len(os.listdir("/proc/self/task"))


def drive(command, play):
    """Runs `play(AsyncProcess, PipeProcess)` on a new loop; the thread count must not change."""
    process = PipeProcess(command)

    async def main():
        before = threads()
        result = await play(AsyncProcess(process), process)
        assert threads() == before
        return result

    try:
        return asyncio.run(asyncio.wait_for(main(), 20))
    finally:
        process.close()


MIB = os.urandom(1 << 20)


@pytest.mark.parametrize(
    "command, input, expected",
    [
        ("echo out; echo err >&2; exit 3", None, (b"out\n", b"err\n", 3)),
        # The input goes in while the output comes back: neither pipe stalls.
        ("cat", MIB, (MIB, b"", 0)),
        ("cat >&2", bytearray(MIB), (b"", MIB, 0)),
        # A large standard error is drained while standard output waits.
        ("head -c 300000 /dev/zero >&2; echo done", None, (b"done\n", b"\0" * 300000, 0)),
        # Standard input is closed after the input, or at once without it.
        ("cat; echo end", b"a\nb", (b"a\nbend\n", b"", 0)),
        ("wc -c", None, (b"0\n", b"", 0)),
        # Input the command never reads is dropped.
        ("exec 0<&-; echo gone", MIB, (b"gone\n", b"", 0)),
        ("kill -TERM $$", None, (b"", b"", -signal.SIGTERM)),
    ],
)
def test_communicate(command, input, expected):
    async def play(proc, _):
        out, err = await proc.communicate(input)
        return out, err, proc.returncode

    assert drive(command, play) == expected


def test_a_timeout_or_cancellation_kills_and_keeps_what_was_read():
    async def play(proc, process):
        with pytest.raises(TimeoutError, match=r"communicate\(\) timed out after 0.3 s; the command was killed"):
            await proc.communicate(timeout=0.3)
        assert process.kills == 1
        assert await proc.communicate() == (b"early\n", b"warn\n")
        assert await proc.communicate() == (b"", b"")  # handed out once
        return proc.returncode

    assert drive("echo early; echo warn >&2; sleep 100", play) == -signal.SIGKILL

    def cancel(call):
        async def play(proc, process):
            task = asyncio.create_task(call(proc))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert process.kills == 1
            return await proc.wait(), await proc.communicate()

        return play

    for call in (lambda p: p.communicate(), lambda p: p.wait(), lambda p: anext(p)):
        # The loop's readers of the cancelled call are gone: the next call reads on.
        assert drive("echo x >&2; sleep 100", cancel(call)) == (-signal.SIGKILL, (b"", b"x\n"))


def no_pidfds(pid):
    raise OSError(errno.ENOSYS, "pidfd_open is not implemented")


@pytest.mark.parametrize("pidfds", [True, False])
def test_wait_and_iteration(pidfds, monkeypatch):
    if not pidfds:  # a kernel without pidfds: the exit is looked for now and then
        monkeypatch.setattr(os, "pidfd_open", no_pidfds)

    async def play(proc, _):
        status = await proc.wait()
        chunks = [chunk async for chunk in proc]
        return status, proc.returncode, b"".join(chunks), await proc.communicate()

    # wait() does not read: the output stays in the pipe for the iteration.
    assert drive("echo a; sleep 0.1; exit 7", play) == (7, 7, b"a\n", (b"", b""))

    async def pieces(proc, process):
        first = await anext(proc)  # the command waits for a line before it goes on
        os.write(process.popen.stdin.fileno(), b"go\n")
        return first, [chunk async for chunk in proc]

    assert drive("echo 1; read x; echo 2 $x", pieces) == (b"1\n", [b"2 go\n"])


def test_arguments_are_checked_before_anything_runs():
    async def play(proc, process):
        with pytest.raises(ValueError):
            await proc.communicate(timeout=-1)
        with pytest.raises(TypeError):
            await proc.communicate("text")
        async with proc:
            assert proc.pid == process.pid and proc.process is process and proc.returncode is None
        return proc.returncode

    assert drive("sleep 100", play) == -signal.SIGKILL


# --- on the real pool ---------------------------------------------------------


def _can_start():
    import ferrowick

    return hasattr(ferrowick.PyUser, "start")


needs_start = pytest.mark.skipif(not _can_start(), reason="ferrowick.PyUser has no start() in this build")


@needs_pool
@needs_start
def test_a_started_command_from_asyncio():
    from ferrowick import PyUserPool
    from test_pool import live_processes_of

    user = PyUserPool(1).allocate()

    async def main():
        before = threads()
        proc = AsyncProcess(user.start("echo hi; echo err >&2; exit 3"))
        assert await proc.communicate() == (b"hi\n", b"err\n") and proc.returncode == 3
        data = os.urandom(1 << 20)
        async with AsyncProcess(user.start(["cat"])) as cat:
            assert await cat.communicate(data) == (data, b"")
        # A tree that outlives its leader's pipes: cancelling kills all of it.
        proc = AsyncProcess(user.start("sleep 1000 & setsid sleep 1000 & echo up; sleep 1000"))
        assert await anext(proc) == b"up\n"
        task = asyncio.create_task(proc.communicate())
        await asyncio.sleep(0.2)
        start = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await proc.wait() == -signal.SIGKILL and time.monotonic() - start < 1
        proc.close()
        return before, threads()

    before, after = asyncio.run(asyncio.wait_for(main(), 60))
    # No thread added; the pool's background look for the host's writable
    # places, begun by the hand-out, may end meanwhile.
    assert after <= before
    assert live_processes_of(user.uid()) == []
