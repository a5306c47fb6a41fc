"""ferrowick_pool: driving pool sessions by pattern (Shell, AsyncShell),
commands from asyncio (AsyncProcess), and ferrowick-pool, the housekeeping
of the host's pool accounts."""

from ferrowick_pool.async_process import AsyncProcess, ProcessLike
from ferrowick_pool.async_shell import AsyncShell
from ferrowick_pool.cli import main
from ferrowick_pool.matching import EOF, TIMEOUT, SessionLike
from ferrowick_pool.shell import Shell

__all__ = ["EOF", "TIMEOUT", "AsyncProcess", "AsyncShell", "ProcessLike", "SessionLike", "Shell", "main"]
