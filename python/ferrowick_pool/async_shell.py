"""AsyncShell: Shell's methods as coroutines, on the running event loop.

Every wait is the event loop's: the session's descriptor is watched with
the loop's add_reader while a call waits for output, and every session
call is made with a timeout of 0, so it returns at once. No thread is
started, whatever the number of shells. A call waiting on one AsyncShell
holds up no other task. On one AsyncShell the calls that read take turns,
and so do the writes, but a write never waits for a read: one task may
send while another waits in expect().

Cancelling an awaited expect() or run() sends the shell Ctrl-C (its
foreground command stops, as at a keyboard) and leaves the AsyncShell
usable; what was read stays unread.
"""

from __future__ import annotations

import asyncio
import select
from collections.abc import AsyncIterator, Generator
from typing import Final, Literal

from ferrowick_pool.framing import Frame, framed_line, new_token
from ferrowick_pool.matching import READ_SIZE, Exacts, Patterns, Searches, SessionLike, ShellState, as_bytes, check_timeout

# A write of up to PIPE_BUF bytes goes into the pipe whole or not at all, so
# a write that cannot be taken now is tried again without losing its place.
_WRITE_CHUNK: Final = select.PIPE_BUF
# How soon a write tries again while the shell's input pipe is full (the
# pipe's write end is the session's own, not a descriptor to watch).
_WRITE_RETRY_SECONDS: Final = 0.01


def _wake(ready: asyncio.Future[None]) -> None:
    if not ready.done():
        ready.set_result(None)


class AsyncShell(ShellState):
    """Shell for asyncio: `await shell.expect(...)`, `await shell.run(...)`,
    `async for chunk in shell`.

    `session` is a ferrowick.PyTerminalSession, or any object with its
    read, write, interrupt, fileno and close.
    """

    def __init__(self, session: SessionLike) -> None:
        super().__init__(session)
        self._turn = asyncio.Lock()  # reading, and searching what was read
        self._writing = asyncio.Lock()

    async def send(self, data: str | bytes) -> None:
        """Hands `data` (a str as UTF-8) to the shell's input."""
        async with self._writing:
            await self._write(as_bytes(data), None)

    async def sendline(self, line: str | bytes = "") -> None:
        """Sends `line` and a line feed."""
        await self.send(as_bytes(line) + b"\n")

    async def sendintr(self) -> None:
        """Sends Ctrl-C, which stops the shell's foreground command."""
        self._session.interrupt()

    async def expect(self, pattern: Patterns, timeout: float | None = 30) -> int:
        """Shell.expect() (see there) without blocking the event loop."""
        return await self._drive(Searches(pattern, exact=False), timeout)

    async def expect_exact(self, pattern: Exacts, timeout: float | None = 30) -> int:
        """Shell.expect_exact() without blocking the event loop."""
        return await self._drive(Searches(pattern, exact=True), timeout)

    async def read_available(self) -> bytes:
        """Everything unread that has arrived so far, without waiting (b"" at the end)."""
        async with self._turn:
            self._drain()
            return self._take_unread()

    async def run(self, command: str, timeout: float | None = None) -> tuple[int, bytes]:
        """Runs one command line; returns its exit status and what it printed.

        As the session's run(): the output is what the terminal shows (lines
        end in "\\r\\n") without the echoed line, prompts or the frame's own
        lines; the shell keeps its state between calls. What was unread
        when the call began stays unread. On a timeout (TimeoutError) the
        command keeps running and what was read stays unread; a cancelled
        call stops the command with Ctrl-C.
        """
        check_timeout(timeout)
        token = new_token()
        line = framed_line(command, token)
        async with self._turn:
            try:
                return await self._run(line, token, timeout)
            except asyncio.CancelledError:
                self._session.interrupt()
                raise

    async def __aenter__(self) -> AsyncShell:
        return self

    async def __aexit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __aiter__(self) -> AsyncIterator[bytes]:
        return self

    async def __anext__(self) -> bytes:
        """The output as it comes: what is unread first, then each piece read; ends with the output."""
        async with self._turn:
            if not self._unread:
                chunk = b"" if self._ended else await self._read(None)
                self._feed(chunk or b"")
            if not self._unread:
                raise StopAsyncIteration
            return self._take_unread()

    async def _drive(self, searches: Searches, timeout: float | None) -> int:
        async with self._turn:
            steps: Generator[float | None, bytes | None, int] = self.expecting(searches, timeout)
            try:
                wait = next(steps)
                while True:
                    wait = steps.send(await self._read(wait))
            except StopIteration as done:
                result: int = done.value
                return result
            except asyncio.CancelledError:
                self._session.interrupt()
                raise

    async def _run(self, line: bytes, token: str, timeout: float | None) -> tuple[int, bytes]:
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        begin = len(self._unread)
        frame = Frame(token, begin)
        async with self._writing:
            await self._write(line, deadline)
        while not frame.scan(self._unread):
            if self._ended:
                raise ValueError("The shell exited before the command finished")
            chunk = await self._read(None if deadline is None else max(deadline - loop.time(), 0.0))
            if chunk is None:
                raise TimeoutError("Timed out waiting for the command to finish")
            self._feed(chunk)
        assert frame.body_begin is not None
        output = bytes(self._unread[frame.body_begin : frame.body_end])
        # The echo, prompts and markers go; what came before the call and
        # after its end stays unread.
        del self._unread[begin : frame.rest]
        return frame.status, output

    async def _read(self, wait: float | None) -> bytes | None:
        """One read of the output, waiting at most `wait` seconds (None: no limit) on the loop.

        Returns None when the time ran out. The session may hold output back
        from its own run(), which its descriptor does not show: a read is
        always tried before waiting.
        """
        loop = asyncio.get_running_loop()
        deadline = None if wait is None else loop.time() + wait
        while True:
            try:
                return self._session.read(READ_SIZE, 0)
            except TimeoutError:
                pass
            if deadline is not None and loop.time() >= deadline:
                return None
            fd = self._session.fileno()
            ready: asyncio.Future[None] = loop.create_future()
            loop.add_reader(fd, _wake, ready)
            try:
                async with asyncio.timeout_at(deadline):
                    await ready
            except TimeoutError:
                pass  # one more read above, then None
            finally:
                loop.remove_reader(fd)

    async def _write(self, data: bytes, deadline: float | None) -> None:
        loop = asyncio.get_running_loop()
        view = memoryview(data)
        while view:
            try:
                self._session.write(bytes(view[:_WRITE_CHUNK]), 0)
            except TimeoutError:
                # Nothing of the piece was taken: the shell's input is full.
                if deadline is not None and loop.time() >= deadline:
                    raise TimeoutError("Timed out writing to the stdin of the process") from None
                await asyncio.sleep(_WRITE_RETRY_SECONDS)
                continue
            view = view[_WRITE_CHUNK:]
