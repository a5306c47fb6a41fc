"""How AsyncShell.run() frames one command in an interactive shell.

The session's own run() blocks its thread, so the event loop cannot use it;
this is the same protocol, spoken over the session's write() and read().
The shell echoes what it is sent, prints prompts and may still print output
of earlier commands, so the command's output is framed by two marker lines
that only the shell can produce: the line sent spells each marker in two
pieces that printf joins, so no echo holds the joined text, and the markers
carry a random token per call, so an abandoned call's markers never match.

The command travels inside $'...' with every byte outside printable ASCII
(and the quote, backslash and '!') written as \\xHH, so line editing sees
no control character and history expansion no '!'; eval runs it in the
shell itself, as if typed, with $? still the previous command's status.
"""

from __future__ import annotations

import re
import secrets

_PLAIN = frozenset(range(0x20, 0x7F)) - frozenset(b"\\'!")
# A status has at most three digits; a few more are allowed for a marker
# that is not this shell's own.
_STATUS_DIGITS = 7


def new_token() -> str:
    return secrets.token_hex(8)


def framed_line(command: str, token: str) -> bytes:
    """The line (ending in a line feed) that runs `command` between `token`'s markers."""
    if "\n" in command:
        raise ValueError("The command must be a single line: it contains a line feed")
    if "\0" in command:
        raise ValueError("The command must not contain a NUL character")
    quoted = "".join(chr(c) if c in _PLAIN else f"\\x{c:02x}" for c in command.encode("utf-8"))
    first, second = token[: len(token) // 2], token[len(token) // 2 :]
    # One function, defined again by every line (a new or nested shell needs
    # nothing set up), prints a marker with a status and returns it: first
    # the status the line found (kept across the definition, which resets
    # $?), then the command's. The leading space keeps the line out of the
    # history where the shell is set to ignore such lines.
    return (
        " __fw_rc=$?;__ferrowick(){ local s=${__fw_rc-$?};unset __fw_rc;printf %s%s:$s\\\\n fw-$1 $2;return $s;};"
        f"__ferrowick {first} {second}-s;eval $'{quoted}';__ferrowick {first} {second}-e\n"
    ).encode("ascii")


class Frame:
    """Finds one call's frame in output that only ever grows.

    Each scan looks only at what it has not ruled out before, so following
    a long output costs time in proportion to its length.
    """

    def __init__(self, token: str, begin: int) -> None:
        marker = b"fw-" + token.encode("ascii")
        self._start = re.compile(re.escape(marker + b"-s:") + rb"\d{0,%d}\r?\n" % _STATUS_DIGITS)
        self._end = re.compile(re.escape(marker + b"-e:") + rb"(\d{1,%d})\r?\n" % _STATUS_DIGITS)
        # The longest marker line: a match cannot begin further back than
        # this from the end of what was searched.
        self._reach = len(marker) + 3 + _STATUS_DIGITS + 2
        self._from = begin
        self.body_begin: int | None = None
        self.body_end = 0
        self.rest = 0
        self.status = 0

    def scan(self, output: bytes | bytearray) -> bool:
        """True once `output` holds the whole frame; the fields then say where it lies."""
        if self.body_begin is None:
            start = self._start.search(output, self._from)
            if start is None:
                self._from = max(self._from, len(output) - self._reach)
                return False
            self.body_begin = self._from = start.end()
        end = self._end.search(output, self._from)
        if end is None:
            self._from = max(self._from, len(output) - self._reach)
            return False
        self.body_end, self.rest, self.status = end.start(), end.end(), int(end.group(1))
        return True
