"""copy_in / copy_out / put / get as a script sees them: arguments, results,
the exceptions host failures become, and the round trip through a real
account. The walks themselves are tested in C++."""

import errno
import os

import pytest

from conftest import needs_pool
from ferrowick import PyFs, PyUserPool


def tree_of(root):
    """{relative path: bytes} of the regular files below `root`, and the
    directories as {relative path + "/": None}."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            if not os.path.islink(os.path.join(dirpath, d)):
                out[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in filenames:
            p = os.path.join(dirpath, f)
            if os.path.isfile(p) and not os.path.islink(p):
                with open(p, "rb") as fh:
                    out[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return out


def test_copy_in_and_out_round_trip_and_defaults(tmp_path):
    src = tmp_path / "src"
    (src / "d").mkdir(parents=True)
    (src / "d" / "bin").write_bytes(bytes(range(256)) * 10)
    (src / "top").write_bytes(b"top")
    (src / "link").symlink_to("/etc/passwd")
    fs = PyFs()
    assert fs.copy_in(str(src)) == 2  # dest defaults to "/"
    assert fs.read_bytes("/d/bin") == bytes(range(256)) * 10
    assert not fs.exists("/link")
    assert fs.copy_in(host_path=os.fsencode(src), dest="/again/here") == 2  # bytes paths too
    assert fs.copy_out("/", tmp_path / "out") == 4  # and os.PathLike
    expected = tree_of(src)
    assert {k: v for k, v in tree_of(tmp_path / "out").items() if not k.startswith("again")} == expected


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda fs, tmp: fs.copy_in(str(tmp / "missing")), FileNotFoundError),
        (lambda fs, tmp: fs.copy_in(str(tmp / "file")), NotADirectoryError),
        (lambda fs, tmp: fs.copy_out("/", str(tmp / "full")), FileExistsError),
        (lambda fs, tmp: fs.copy_out("/nope", str(tmp / "new")), ValueError),
        (lambda fs, tmp: fs.copy_in(3), TypeError),
        (lambda fs, tmp: fs.copy_in("/tmp\0x"), ValueError),
        (lambda fs, tmp: fs.copy_out("/"), TypeError),
    ],
)
def test_failures_become_the_matching_exception(tmp_path, call, exc):
    (tmp_path / "file").write_bytes(b"x")
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "x").write_bytes(b"x")
    with pytest.raises(exc) as info:
        call(PyFs(), tmp_path)
    if issubclass(exc, OSError):
        assert info.value.filename.startswith(str(tmp_path))


@pytest.fixture
def user():
    return PyUserPool(1).allocate()


@needs_pool
def test_put_and_get_through_a_real_account(user, tmp_path):
    fs = PyFs()
    fs.mkdir("/w")
    fs.mkdir("/w/sub")
    with fs.open("/w/sub/data", "w") as h:
        h.write(b"\x00\xffpayload")
    assert user.put(fs, "/w", "task") == 1
    home = user.home()
    for dirpath, dirnames, filenames in os.walk(home):
        for name in dirnames + filenames:
            assert os.lstat(os.path.join(dirpath, name)).st_uid == user.uid()
    back = user.get("task")
    assert back.read_bytes("/sub/data") == b"\x00\xffpayload"
    assert user.get(max_bytes=9).listdir("/") == ([], ["task"])
    with pytest.raises(ValueError, match="max_bytes"):
        user.get(max_bytes=8)
    with pytest.raises(TypeError, match="positional"):
        user.get("task", 10)
    with pytest.raises(TypeError):
        user.put(object())


@needs_pool
def test_a_link_planted_in_the_home_raises_oserror(user):
    home = user.home()
    os.symlink("/etc", os.path.join(home, "out"))
    os.lchown(os.path.join(home, "out"), user.uid(), user.uid())
    fs = PyFs()
    fs.touch("/passwd_evil")
    before = sorted(os.listdir("/etc"))
    with pytest.raises(OSError) as info:
        user.put(fs, dest="out")
    assert info.value.errno in (errno.ELOOP, errno.ENOTDIR)
    assert sorted(os.listdir("/etc")) == before
