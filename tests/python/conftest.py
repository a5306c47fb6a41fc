import os
import shutil
import signal

import pytest

import ferrowick


# Started as a background job, the interpreter inherits SIGINT ignored and
# installs no handler: the Ctrl-C tests need Python's own, and so do the
# interpreters they start (which inherit the default action from here).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def fs():
    return ferrowick.PyFs()


def pool_tools_missing():
    """Why the real-account tests cannot run here, or None when they can."""
    if os.geteuid() != 0:
        return "needs root to create accounts"
    for tool in ("useradd", "su", "pkill", "id"):
        if shutil.which(tool) is None:
            return f"needs the host tool {tool}"
    return None


# AddressSanitizer's runtime (preloaded by the deep checks) reserves terabytes
# of address space, so no program it is loaded into starts under an "as" limit.
UNDER_ASAN = "libasan" in open("/proc/self/maps").read()

needs_pool = pytest.mark.skipif(pool_tools_missing() is not None, reason=str(pool_tools_missing()))
