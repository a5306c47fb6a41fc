"""What Shell and AsyncShell share: the patterns expect() takes, the output
not consumed yet, and the choice of a match.

Matching works on bytes: a str pattern is its UTF-8 encoding, so a
character split between two reads is only ever an incomplete match, never a
decoding error. The waiting itself is left to the two shells: `expecting`
is a generator that says how long it may wait for output next and is sent
what came (sans I/O), so that the blocking Shell and the event-loop driven
AsyncShell run the same steps.
"""

from __future__ import annotations

import re
import time
from collections.abc import Generator, Sequence
from typing import Final, Protocol, SupportsIndex, TypeAlias, final

# What one read asks for: as much as the pipe holds, within reason.
READ_SIZE: Final = 65536
# A regular expression without these characters matches exactly its own text.
_SPECIAL = re.compile(rb"[.^$*+?{}\[\]\\|()]")


@final
class Special:
    """`EOF` or `TIMEOUT`: a pattern that matches an event, not bytes."""

    __slots__ = ("_name",)

    def __init__(self, name: str) -> None:
        self._name = name

    def __repr__(self) -> str:
        return f"ferrowick_pool.{self._name}"


EOF: Final = Special("EOF")
"""Matches once the shell's output has ended; `before` then holds the rest."""
TIMEOUT: Final = Special("TIMEOUT")
"""Matches when the timeout runs out, instead of TimeoutError."""

Pattern: TypeAlias = str | bytes | re.Pattern[bytes] | re.Pattern[str] | Special
Patterns: TypeAlias = Pattern | Sequence[Pattern]
Exact: TypeAlias = str | bytes | Special
Exacts: TypeAlias = Exact | Sequence[Exact]


class SessionLike(Protocol):
    """What a shell needs of its session: the calls of ferrowick.PyTerminalSession."""

    def read(self, buffer: SupportsIndex | None = None, timeout: float | None = None) -> bytes: ...
    def write(self, data: bytes, timeout: float | None = None) -> None: ...
    def interrupt(self) -> None: ...
    def fileno(self) -> int: ...
    def close(self) -> None: ...
    def run(self, command: str, timeout: float | None = None) -> tuple[int, bytes]: ...


def as_bytes(data: str | bytes) -> bytes:
    if isinstance(data, str):
        return data.encode("utf-8")
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"expected str or bytes, not {type(data).__name__}")


def check_timeout(timeout: float | None) -> None:
    if timeout is not None and not timeout >= 0:  # also refuses NaN
        raise ValueError(f"timeout must be None or a number >= 0, not {timeout!r}")


class Searches:
    """A list of patterns compiled for searching, with where EOF and TIMEOUT stand."""

    def __init__(self, given: Patterns | Exacts, exact: bool) -> None:
        items: Sequence[Pattern] = (
            [given] if isinstance(given, (str, bytes, re.Pattern, Special)) else list(given)
        )
        if not items:
            raise ValueError("expect() needs at least one pattern")
        self.shown = items
        self.eof: int | None = None
        self.timeout: int | None = None
        self.regexes: list[tuple[int, re.Pattern[bytes]]] = []
        # Plain strings, and regular expressions that are plain text (found
        # as plain strings, much faster; the regular expression makes the match).
        self.literals: list[tuple[int, bytes, re.Pattern[bytes] | None]] = []
        # Per literal: where in the (only growing) output it may still begin,
        # so that each byte is searched for it about once.
        self._literal_from: list[int] = []
        for i, p in enumerate(items):
            if p is EOF:
                self.eof = self.eof if self.eof is not None else i
            elif p is TIMEOUT:
                self.timeout = self.timeout if self.timeout is not None else i
            elif exact:
                if not isinstance(p, (str, bytes)):
                    raise TypeError(f"expect_exact() takes str, bytes, EOF or TIMEOUT, not {type(p).__name__}")
                self.literals.append((i, as_bytes(p), None))
                self._literal_from.append(0)
            elif isinstance(p, re.Pattern):
                source: str | bytes = p.pattern
                if isinstance(source, str):  # matched as its UTF-8 bytes
                    source = source.encode()
                self.regexes.append((i, re.compile(source, p.flags & ~re.UNICODE)))
            elif isinstance(p, (str, bytes)):
                source = as_bytes(p)
                if _SPECIAL.search(source):
                    self.regexes.append((i, re.compile(source)))
                else:
                    self.literals.append((i, source, re.compile(source)))
                    self._literal_from.append(0)
            else:
                raise TypeError(f"expect() takes str, bytes, re.Pattern, EOF or TIMEOUT, not {type(p).__name__}")

    def find(self, data: bytearray, final: bool) -> tuple[int, int, int, re.Pattern[bytes] | None] | None:
        """The match that starts earliest in `data` (ties: the lower index).

        `data` only grows between the calls on one Searches. Returns (index,
        start, end, the regular expression that matched) or None. Unless
        `final`, a plain string that has begun at the very end of `data`,
        earlier than the best match, makes the answer wait for more output
        (None): once complete it would win.

        A regular expression is searched over all of `data` each time: a
        match may begin anywhere, and the re module cannot be told where
        one could no longer begin. Plain strings are searched only where
        they may still begin. The wait for a plain string that has begun
        is for expect_exact() only: expect() takes the best match so far.
        """
        best: tuple[int, int, int, re.Pattern[bytes] | None] | None = None
        for i, regex in self.regexes:
            m = regex.search(data)
            if m is not None and (best is None or (m.start(), i) < (best[1], best[0])):
                best = (i, m.start(), m.end(), regex)
        for n, (i, literal, as_regex) in enumerate(self.literals):
            at = data.find(literal, self._literal_from[n])
            if at < 0:
                self._literal_from[n] = max(0, len(data) - len(literal) + 1)
            elif best is None or (at, i) < (best[1], best[0]):
                best = (i, at, at + len(literal), as_regex)
        if best is None or final:
            return best
        for i, literal, as_regex in self.literals:
            if as_regex is not None:
                continue
            # Proper prefixes of `literal` that end `data` and start no later than the best match.
            for k in range(max(1, len(data) - best[1]), len(literal)):
                start = len(data) - k
                if (start, i) < (best[1], best[0]) and data.endswith(literal[:k]):
                    return None
        return best


class ShellState:
    """The unread output of a shell and what its last expect() found."""

    def __init__(self, session: SessionLike) -> None:
        self._session = session
        self._unread = bytearray()
        self._ended = False
        self.before = b""
        """The bytes before the last match (all unread bytes after EOF or TIMEOUT)."""
        self.after = b""
        """The bytes of the last match (b"" for EOF and TIMEOUT)."""
        self.match: re.Match[bytes] | None = None
        """The last regular-expression match; None after expect_exact(), EOF or TIMEOUT."""

    @property
    def session(self) -> SessionLike:
        return self._session

    def close(self) -> None:
        """Closes the session."""
        self._session.close()

    def _feed(self, chunk: bytes) -> None:
        if chunk:
            self._unread += chunk
        else:
            self._ended = True

    def _take_unread(self) -> bytes:
        data = bytes(self._unread)
        self._unread.clear()
        return data

    def _drain(self) -> None:
        """Reads what has already arrived, without waiting."""
        while not self._ended:
            try:
                self._feed(self._session.read(READ_SIZE, 0))
            except TimeoutError:
                return

    def _found(self, found: tuple[int, int, int, re.Pattern[bytes] | None]) -> int:
        index, start, end, regex = found
        data = bytes(self._unread)
        # The match kept for the caller is made again on bytes that do not
        # change, with the same surroundings (its lookarounds see the same).
        self.match = None if regex is None else regex.search(data, start)
        self.before, self.after = data[:start], data[start:end]
        del self._unread[:end]
        return index

    def _event(self, index: int, consume: bool) -> int:
        self.before, self.after, self.match = bytes(self._unread), b"", None
        if consume:
            self._unread.clear()
        return index

    def _describe(self, searches: Searches) -> str:
        tail = bytes(self._unread[-80:])
        return f"{searches.shown!r}; the unread output ends with {tail!r}"

    def expecting(self, searches: Searches, timeout: float | None) -> Generator[float | None, bytes | None, int]:
        """The steps of one expect(): yields how long the next read may wait
        (None: as long as it takes) and is sent what it read, or None when
        the read timed out. Returns the index of the pattern found, or
        raises TimeoutError or EOFError with the unread output kept.
        """
        check_timeout(timeout)
        deadline = None if timeout is None else time.monotonic() + timeout
        read_once = False
        while True:
            found = searches.find(self._unread, final=False)
            if found is not None:
                return self._found(found)
            left = None if deadline is None else deadline - time.monotonic()
            chunk: bytes | None = None
            if not self._ended and not (read_once and left is not None and left <= 0):
                chunk = yield None if left is None else max(left, 0.0)
                read_once = True
            if chunk is not None:
                self._feed(chunk)
                continue
            found = searches.find(self._unread, final=True)
            if found is not None:
                return self._found(found)
            if self._ended:
                if searches.eof is not None:
                    return self._event(searches.eof, consume=True)
                raise EOFError(f"the shell's output ended before a match of {self._describe(searches)}")
            if searches.timeout is not None:
                return self._event(searches.timeout, consume=False)
            raise TimeoutError(f"no match within {timeout} s of {self._describe(searches)}")
