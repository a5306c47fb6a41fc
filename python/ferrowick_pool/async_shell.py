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
from collections.abc import AsyncIterator, Generator
from typing import Literal

from ferrowick_pool.framing import Frame, framed_line, new_token
from ferrowick_pool.loop_io import read_when_ready, write_in_pieces
from ferrowick_pool.matching import Exacts, Patterns, Searches, SessionLike, ShellState, as_bytes, check_timeout


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
        return await read_when_ready(self._session.read, self._session.fileno, wait)

    async def _write(self, data: bytes, deadline: float | None) -> None:
        await write_in_pieces(self._session.write, data, deadline)
