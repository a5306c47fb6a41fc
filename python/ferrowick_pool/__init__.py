"""ferrowick-pool: housekeeping of the host's pool accounts."""

from ferrowick_pool.cli import main

__all__ = ["main"]
