"""Shell: drives a session by pattern, the way a person at a terminal does.

Send a line, wait for what the program prints next, read what came before
it. The output read while waiting stays with the Shell until a match
consumes it, so a timeout loses nothing and the next expect() starts where
the last one stopped.
"""

from __future__ import annotations

from collections.abc import Generator
from typing import Literal

from ferrowick_pool.matching import READ_SIZE, Exacts, Patterns, Searches, SessionLike, ShellState, as_bytes


class Shell(ShellState):
    """Sends to a session and waits for its output by pattern.

    `session` is a ferrowick.PyTerminalSession, or any object with its
    read, write, interrupt, fileno, close and run. The Shell reads from it
    only inside expect(), expect_exact() and read_available().
    """

    def send(self, data: str | bytes) -> None:
        """Hands `data` (a str as UTF-8) to the shell's input."""
        self._session.write(as_bytes(data))

    def sendline(self, line: str | bytes = "") -> None:
        """Sends `line` and a line feed."""
        self._session.write(as_bytes(line) + b"\n")

    def sendintr(self) -> None:
        """Sends Ctrl-C, which stops the shell's foreground command."""
        self._session.interrupt()

    def expect(self, pattern: Patterns, timeout: float | None = 30) -> int:
        """Waits until a pattern matches the unread output; returns its index.

        `pattern` is a regular expression (str, bytes or compiled; a str is
        matched as UTF-8 bytes), EOF, TIMEOUT, or a list of them. The match
        that starts earliest in the unread output wins (on a tie the lower
        index); `before`, `after` and `match` describe it, and the output is
        consumed through its end. Waits at most `timeout` seconds (None: no
        limit); then TIMEOUT matches if listed, else TimeoutError is raised
        and the unread output stays. EOF matches once the shell's output
        has ended (before: the rest); unlisted, the end raises EOFError.

        The output is searched again as each piece of it arrives, so a
        pattern whose match could still grow (r"\\d+") or begin earlier
        with more output may match differently depending on how the
        output arrives: anchor it on what follows (r"\\d+\\r\\n"). A
        pattern with special characters is searched over all the unread
        output each time; plain text only over what is new.
        """
        return self._drive(self.expecting(Searches(pattern, exact=False), timeout))

    def expect_exact(self, pattern: Exacts, timeout: float | None = 30) -> int:
        """expect() for plain strings (and EOF, TIMEOUT): no character is special.

        The result never depends on how the output arrives.
        """
        return self._drive(self.expecting(Searches(pattern, exact=True), timeout))

    def read_available(self) -> bytes:
        """Everything unread that has arrived so far, without waiting (b"" at the end)."""
        self._drain()
        return self._take_unread()

    def run(self, command: str, timeout: float | None = None) -> tuple[int, bytes]:
        """The session's run(): one command line, its exit status and output.

        What the Shell holds unread stays for the next expect() or
        read_available().
        """
        return self._session.run(command, timeout)

    def __enter__(self) -> Shell:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def _drive(self, steps: Generator[float | None, bytes | None, int]) -> int:
        try:
            wait = next(steps)
            while True:
                try:
                    chunk: bytes | None = self._session.read(READ_SIZE, wait)
                except TimeoutError:
                    chunk = None
                wait = steps.send(chunk)
        except StopIteration as done:
            result: int = done.value
            return result
