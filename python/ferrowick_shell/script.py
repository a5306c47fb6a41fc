"""The lines of a script, for both shells.

A script is read as bytes and split at line feeds; a line may end in
"\\r\\n" (a script written on Windows) as well as "\\n", and must be UTF-8.
A script that cannot be read is one line for standard error and exit
status 2, before any of it runs.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

EXIT_UNREADABLE = 2


class ScriptError(Exception):
    """The script cannot be read; the message is one line without a trailing full stop."""


def decoded_lines(lines: Iterable[bytes], name: str) -> Iterator[str]:
    """Each line without its line end, as text; ScriptError at the first line that is not UTF-8."""
    for number, raw in enumerate(lines, 1):
        if raw.endswith(b"\n"):
            raw = raw[:-1]
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ScriptError(f"{name}: line {number}: not UTF-8 (byte 0x{raw[e.start]:02x})") from None


def read_script(path: str) -> list[str]:
    """The whole script at `path`, checked before anything runs."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ScriptError(f"cannot read {path}: {e.strerror or e}") from None
    # Not bytes.splitlines(), which also splits at a lone "\r".
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return list(decoded_lines(lines, path))
