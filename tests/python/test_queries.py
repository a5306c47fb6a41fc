"""PyFs.exists/stat and PyFileHandle.readinto/truncate: what the binding adds
to the core's queries (argument handling, buffers, the result type)."""

import array

import pytest

import ferrowick
from ferrowick import PyFs, Whence


@pytest.fixture
def tree(fs):
    fs.mkdir("/d")
    h = fs.open("/d/f", "w")
    h.write(b"0123456789")
    h.close()
    return fs


def test_stat_result_is_a_struct_sequence_outside_all(tree):
    st = tree.stat("/d/f")
    assert isinstance(st, ferrowick.StatResult) and isinstance(st, tuple)
    kind, size, ino = st
    assert (kind, size, ino) == (st.kind, st.size, st.ino) == ("file", 10, 2)
    assert tuple(tree.stat("/")) == ("directory", 1, 0)
    assert "StatResult" not in ferrowick.__all__
    assert repr(st) == "ferrowick.StatResult(kind='file', size=10, ino=2)"
    # The times are named fields beyond the sequence, as os.stat_result has.
    assert len(st) == 3 and st.n_fields == 5
    assert type(st.mtime_ns) is int and st.mtime_ns >= st.birthtime_ns > 1_600_000_000 * 10**9


def test_rename_reaches_the_core_and_raises_its_refusals(tree):
    ino = tree.stat("/d/f").ino
    tree.rename(src="/d/f", dst="/g")
    assert tree.stat("/g").ino == ino and tree.listdir("/d") == ([], [])
    with pytest.raises(ValueError, match="^A directory cannot be moved into itself$"):
        tree.rename("/d", "/d/e")
    with pytest.raises(TypeError, match=r"^PyFs.rename\(\) missing 1 required positional argument: 'dst'$"):
        tree.rename("/g")


@pytest.mark.parametrize("call, message", [
    (lambda fs: fs.exists(b"/d"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda fs: fs.stat(), "PyFs.stat() missing 1 required positional argument: 'path'"),
    (lambda fs: fs.exists("/", "/"), "PyFs.exists() takes 1 positional arguments but 2 were given"),
    (lambda fs: fs.read_bytes("/", end="1"), "argument 'end': 'str' object cannot be interpreted as an integer"),
])
def test_query_argument_errors(fs, call, message):
    with pytest.raises(TypeError) as e:
        call(fs)
    assert str(e.value) == message


@pytest.mark.parametrize("make, view", [
    (lambda: bytearray(4), bytes),
    (lambda: memoryview(bytearray(6))[1:5], bytes),
    (lambda: array.array("B", bytes(4)), bytes),
    (lambda: array.array("H", [0, 0]), lambda a: a.tobytes()),
])
def test_readinto_fills_writable_buffers_silently(tree, capfd, make, view):
    h = tree.open("/d/f", "r")
    h.seek(3, Whence.SEEK_SET)
    buffer = make()
    assert h.readinto(buffer) == 4
    assert view(buffer) == b"3456"
    assert h.tell() == 7
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("buffer, kind", [
    (b"abcd", "bytes"), ("abcd", "str"), (memoryview(bytearray(8))[::2], "memoryview"), (4, "int")])
def test_readinto_refuses_what_cannot_be_written(tree, buffer, kind):
    h = tree.open("/d/f", "r")
    with pytest.raises(TypeError) as e:
        h.readinto(buffer)
    assert str(e.value) == f"argument 'buffer': '{kind}' object cannot be converted to 'WritableBuffer'"
    assert h.tell() == 0


def test_truncate_arguments_and_modes(tree):
    w = tree.open("/d/f", "w")
    w.truncate(size=12)
    assert tree.stat("/d/f").size == 12
    with pytest.raises(OverflowError):
        w.truncate(-1)
    with pytest.raises(TypeError, match="^argument 'size': "):
        w.truncate("3")
    w.close()
    r = tree.open("/d/f", "r")
    with pytest.raises(ValueError, match="^File does not support the specified operation: truncate$"):
        r.truncate(0)
    with pytest.raises(ValueError, match="^File does not support the specified operation: read$"):
        tree.open("/d/g", "w").readinto(bytearray(1))
    r.close()
    with pytest.raises(ValueError, match="^Invalid file descriptor$"):
        r.readinto(bytearray(1))


def test_readall_reads_the_rest_silently(tree, capfd):
    h = tree.open("/d/f", "r")
    h.seek(4, Whence.SEEK_SET)
    assert (h.readall(), h.readall(), h.tell()) == (b"456789", b"", 10)
    assert capfd.readouterr().out == ""
    h.close()
    with pytest.raises(ValueError, match="^Invalid file descriptor$"):
        h.readall()


@pytest.mark.parametrize("start, end, want", [
    (None, None, b"0123456789"), (3, None, b"3456789"), (None, 4, b"0123"), (2, 5, b"234"),
    (8, 100, b"89"), (20, None, b""), (5, 2, b""), (2**64 - 1, 2**64 - 1, b"")])
def test_read_bytes_ranges(tree, capfd, start, end, want):
    assert tree.read_bytes("/d/f", start, end) == want
    assert capfd.readouterr().out == ""


def test_read_bytes_creates_nothing_and_respects_writers(tree):
    for path, message in [("/d/new", "Inode not found"), ("/d", "The specified INode is not a file")]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            tree.read_bytes(path)
    assert tree.listdir("/d") == (["f"], [])
    w = tree.open("/d/f", "w")
    with pytest.raises(ValueError, match="^Resource is currently in use$"):
        tree.read_bytes("/d/f")
    w.close()
    with pytest.raises(OverflowError):
        tree.read_bytes("/d/f", -1)
