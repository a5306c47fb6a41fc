"""AsyncProcess: a command started by PyUser.start(), driven from asyncio.

Every wait is the event loop's, as in AsyncShell: the pipes are read when
the loop's reader says they have something, and the exit is waited for on
a pidfd of the command's leader, also through the loop's reader. No thread
is started, whatever the number of processes.

Cancelling an awaited call kills the command's whole tree (its kill()), so
a task that gives up on a command leaves nothing of it running; so does
communicate()'s timeout. What was read before stays with the AsyncProcess:
the next communicate() or `async for` returns it first, and after the kill
both streams soon end, so nothing read is lost.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
from collections.abc import AsyncIterator, Buffer, Callable, Coroutine
from typing import Any, Final, Literal, Protocol, SupportsIndex, TypeVar

from ferrowick_pool.loop_io import read_when_ready, readable, write_in_pieces
from ferrowick_pool.matching import check_timeout

_T = TypeVar("_T")

# How often the exit is looked for where no pidfd can be had (a kernel
# without pidfd_open): a wait, not a thread.
_EXIT_POLL_SECONDS: Final = 0.01


class ProcessLike(Protocol):
    """What AsyncProcess needs of a process: the calls of ferrowick.PyProcess.

    `pid` must name the command's leader until close(); PyProcess keeps
    its leader unreaped until then, so the pid cannot be reused meanwhile.
    """

    @property
    def pid(self) -> int: ...
    @property
    def returncode(self) -> int | None: ...
    def write(self, data: bytes, timeout: float | None = None) -> None: ...
    def close_stdin(self) -> None: ...
    def read(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes: ...
    def read_err(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes: ...
    def fileno(self) -> int: ...
    def fileno_err(self) -> int: ...
    def kill(self) -> None: ...
    def close(self) -> None: ...


class _Stream:
    """One output stream: what has been read of it and not handed out yet."""

    def __init__(self, read: Callable[[int, float], bytes], fileno: Callable[[], int]) -> None:
        self._read = read
        self._fileno = fileno
        self.unread = bytearray()
        self.ended = False

    async def read_more(self) -> None:
        """Waits for the next piece, or the end."""
        chunk = await read_when_ready(self._read, self._fileno, None)
        if chunk:
            self.unread += chunk
        else:
            self.ended = True

    async def read_to_end(self) -> None:
        while not self.ended:
            await self.read_more()

    def take(self) -> bytes:
        data = bytes(self.unread)
        self.unread.clear()
        return data


class AsyncProcess:
    """A running command for asyncio: `await proc.communicate(...)`,
    `await proc.wait()`, `async for chunk in proc` (standard output).

    `process` is a ferrowick.PyProcess (from PyUser.start()), or any object
    with its pid, returncode, write, close_stdin, read, read_err, fileno,
    fileno_err, kill and close. `async with` closes it (kills and reaps).
    """

    def __init__(self, process: ProcessLike) -> None:
        self._process = process
        self._out = _Stream(process.read, process.fileno)
        self._err = _Stream(process.read_err, process.fileno_err)
        # communicate() and `async for` take turns: each stream has one reader.
        self._reading = asyncio.Lock()

    @property
    def process(self) -> ProcessLike:
        return self._process

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def returncode(self) -> int | None:
        """The exit status (-N when signal N ended it), or None while it runs."""
        return self._process.returncode

    async def communicate(self, input: Buffer | None = None, timeout: float | None = None) -> tuple[bytes, bytes]:
        """Feeds `input` to standard input and closes it, reads standard
        output and error to their end, waits for the exit; returns
        (stdout, stderr), with whatever earlier calls read and left.

        Input the command does not read is dropped, as by asyncio's
        communicate(). After `timeout` seconds (None: no limit) the
        command's tree is killed and TimeoutError raised; what was read
        stays for the next communicate(), which then returns promptly.
        Standard output ends when every process holding it has ended, not
        only the one started.
        """
        check_timeout(timeout)
        data = b"" if input is None else bytes(memoryview(input))
        async with self._reading:
            await self._or_kill(self._communicate(data), timeout, "communicate()")
            return self._out.take(), self._err.take()

    async def wait(self) -> int:
        """Waits for the command to exit; its status (-N when signal N ended it).

        Reads neither stream: a command that fills its output pipe waits
        for a reader, so use communicate() or `async for` when it prints
        much.
        """
        return await self._or_kill(self._exit(), None, "wait()")

    def kill(self) -> None:
        """Kills the command and every process it started."""
        self._process.kill()

    def close(self) -> None:
        """Kills the command's tree, reaps it and closes the pipes."""
        self._process.close()

    async def __aenter__(self) -> AsyncProcess:
        return self

    async def __aexit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __aiter__(self) -> AsyncIterator[bytes]:
        return self

    async def __anext__(self) -> bytes:
        """Standard output as it comes: what is unread first, then each piece read; ends with it."""
        async with self._reading:
            if not self._out.unread and not self._out.ended:
                await self._or_kill(self._out.read_more(), None, "reading")
            if not self._out.unread:
                raise StopAsyncIteration
            return self._out.take()

    async def _or_kill(self, work: Coroutine[Any, Any, _T], timeout: float | None, what: str) -> _T:
        """Awaits `work`; when it is cancelled or `timeout` runs out, the tree is killed."""
        limit = asyncio.timeout(timeout)
        try:
            async with limit:
                return await work
        except asyncio.CancelledError:
            self._process.kill()
            raise
        except TimeoutError:
            if not limit.expired():
                raise
            self._process.kill()
            raise TimeoutError(f"{what} timed out after {timeout} s; the command was killed") from None

    async def _communicate(self, data: bytes) -> None:
        try:
            async with asyncio.TaskGroup() as group:
                group.create_task(self._feed(data))
                group.create_task(self._out.read_to_end())
                group.create_task(self._err.read_to_end())
        except BaseExceptionGroup as failed:
            # A failure of the process (closed under the call), not of the
            # tasks: the first as it was raised.
            raise failed.exceptions[0] from None
        await self._exit()

    async def _feed(self, data: bytes) -> None:
        try:
            await write_in_pieces(self._process.write, data, None)
        except ValueError:
            # The command stopped reading (a broken pipe) or was killed: the
            # rest of the input has nowhere to go. A closed process is told
            # by the reads.
            pass
        with contextlib.suppress(ValueError):  # closed: likewise
            self._process.close_stdin()

    async def _exit(self) -> int:
        while (status := self._process.returncode) is None:
            try:
                pidfd = os.pidfd_open(self._process.pid)
            except OSError:
                # No pidfds here, or the leader was reaped meanwhile (then
                # returncode tells): look again shortly.
                await asyncio.sleep(_EXIT_POLL_SECONDS)
                continue
            try:
                await readable(pidfd, None)
            finally:
                os.close(pidfd)
        return status
