"""`with` support for the classes that own a resource."""

import pytest

from conftest import needs_pool
from ferrowick import PyUserPool


class Boom(Exception):
    pass


@pytest.mark.parametrize("leave_with", [None, Boom])
def test_file_handle_closes_on_exit(fs, leave_with):
    def body():
        with fs.open("/f", "w") as h:
            assert h.write(b"abc") == 3
            if leave_with:
                raise leave_with()
        return h

    if leave_with:
        with pytest.raises(leave_with):
            body()
    else:
        h = body()
        with pytest.raises(ValueError, match="Invalid file descriptor"):
            h.tell()
    # The write lock is gone either way: a writer can open the file again.
    with fs.open("/f", "rw") as again:
        assert again.read(3) == b"abc"


def test_exit_after_explicit_close_is_fine(fs):
    with fs.open("/f", "r") as h:
        h.close()
    with pytest.raises(ValueError):
        h.close()


@needs_pool
@pytest.mark.parametrize("leave_with", [None, Boom])
def test_session_closes_on_exit(leave_with):
    user = PyUserPool().allocate()
    try:
        with user.spawn() as session:
            if leave_with:
                raise leave_with()
    except Boom:
        pass
    with pytest.raises(ValueError, match="The process is None"):
        session.read()
