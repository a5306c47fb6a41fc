"""Helpers shared by the soak scripts next to this file."""

import os
import shutil


def pool_skip_reason():
    """Why the pool classes cannot run here (root and host tools), or None."""
    if os.geteuid() != 0:
        return "needs root to create accounts"
    missing = [t for t in ("useradd", "su", "pkill", "id") if shutil.which(t) is None]
    return f"needs the host tools {' '.join(missing)}" if missing else None


def read_until(session, marker, limit=64):
    """Reads the session's output until `marker` shows up (at most `limit` reads)."""
    out = b""
    for _ in range(limit):
        out += session.read()
        if marker in out:
            return out
    raise AssertionError(f"{marker!r} never came, got {out!r}")


def finish(prefix, failures):
    """Prints every failure and returns the process exit status."""
    for f in failures:
        print(f"{prefix}: FAILED: {f}")
    return 1 if failures else 0
