"""ferrowick-shell: an interactive prompt over ferrowick's in-memory terminal."""

from ferrowick_shell.shell import main

__all__ = ["main"]
