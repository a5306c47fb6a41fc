"""ferrowick's file systems for the Python ecosystem.

- ``ferrowickfs.open(fs, path, mode="r", ...)``: the built-in open() for the
  files of a ``ferrowick.PyFs``, returning the standard io objects (so json,
  csv, zipfile, tarfile and friends work on them).
- ``ferrowickfs.FerrowickFileSystem``: an fsspec file system (protocol
  "ferrowick"), loaded only when asked for, so that nothing here imports
  fsspec unless it is used. Needs ``pip install "ferrowick[fsspec]"``.

Failures are the built-in OSError subclasses; see ferrowickfs._errors for the
choice of errno for each of the file system's messages.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._io import FerrowickRawIO, open

if TYPE_CHECKING:
    from ._filesystem import FerrowickFileSystem

__all__ = ["FerrowickFileSystem", "FerrowickRawIO", "open"]


def __getattr__(name: str) -> Any:
    if name == "FerrowickFileSystem":
        from ._filesystem import FerrowickFileSystem

        return FerrowickFileSystem
    raise AttributeError(f"module 'ferrowickfs' has no attribute {name!r}")
