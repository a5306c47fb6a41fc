"""Reads and writes of host objects (a session, a process) on the running
event loop: what AsyncShell and AsyncProcess wait with.

The object does its own reads and writes; they are only ever called with a
timeout of 0, so each returns at once, and between the calls the loop
watches the descriptor the object names with add_reader. No thread is
started, whatever the number of objects. One descriptor has at most one
waiter at a time (the loop keeps one reader per descriptor): the callers
take turns on each stream.
"""

from __future__ import annotations

import asyncio
import select
from collections.abc import Callable
from typing import Final

from ferrowick_pool.matching import READ_SIZE

# A write of up to PIPE_BUF bytes goes into a pipe whole or not at all, so a
# piece that cannot be taken now is tried again without losing its place.
_WRITE_PIECE: Final = select.PIPE_BUF
# How soon a write tries again while the input pipe is full (its write end
# is the object's own, not a descriptor to watch).
_WRITE_RETRY_SECONDS: Final = 0.01


def _wake(ready: asyncio.Future[None]) -> None:
    if not ready.done():
        ready.set_result(None)


async def readable(fd: int, deadline: float | None) -> bool:
    """Waits until `fd` is readable or the loop's clock reaches `deadline`
    (None: no limit); False when the time ran out."""
    loop = asyncio.get_running_loop()
    ready: asyncio.Future[None] = loop.create_future()
    loop.add_reader(fd, _wake, ready)
    try:
        async with asyncio.timeout_at(deadline):
            await ready
        return True
    except TimeoutError:
        return False
    finally:
        loop.remove_reader(fd)


async def read_when_ready(
    read: Callable[[int, float], bytes], fileno: Callable[[], int], wait: float | None
) -> bytes | None:
    """One `read(READ_SIZE, 0)` that has something to return (b"" at the
    end), waiting at most `wait` seconds (None: no limit) on the loop for
    `fileno()`; None when the time ran out.

    The object may hold output back that its descriptor does not show (a
    session's run() reads past its command's end): a read is always tried
    before waiting, and once more when the time has run out.
    """
    loop = asyncio.get_running_loop()
    deadline = None if wait is None else loop.time() + wait
    while True:
        try:
            return read(READ_SIZE, 0)
        except TimeoutError:
            pass
        if deadline is not None and loop.time() >= deadline:
            return None
        await readable(fileno(), deadline)


async def write_in_pieces(write: Callable[[bytes, float], None], data: bytes, deadline: float | None) -> None:
    """Hands all of `data` to `write(piece, 0)`, waiting on the loop while
    the input is full; TimeoutError once the loop's clock passes `deadline`
    (None: no limit) with data left."""
    loop = asyncio.get_running_loop()
    view = memoryview(data)
    while view:
        try:
            write(bytes(view[:_WRITE_PIECE]), 0)
        except TimeoutError:
            # Nothing of the piece was taken: the input is full.
            if deadline is not None and loop.time() >= deadline:
                raise TimeoutError("Timed out writing to the stdin of the process") from None
            await asyncio.sleep(_WRITE_RETRY_SECONDS)
            continue
        view = view[_WRITE_PIECE:]
