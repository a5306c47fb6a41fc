"""FerrowickFileSystem under fsspec's own abstract test suite (copy, get,
put, open, pipe; the local file system on the other side), plus what that
suite leaves out: mv, listings, ranges, errors, the entry point."""

import errno
import subprocess
import sys

import fsspec
import fsspec.tests.abstract as abstract
import pytest

import ferrowick
from ferrowickfs import FerrowickFileSystem


class FerrowickFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return FerrowickFileSystem(fs=ferrowick.PyFs())

    @pytest.fixture
    def fs_join(self):
        return lambda *parts: "/".join(parts)

    @pytest.fixture
    def fs_path(self):
        return ""


class TestFerrowickCopy(abstract.AbstractCopyTests, FerrowickFixtures):
    pass


class TestFerrowickGet(abstract.AbstractGetTests, FerrowickFixtures):
    pass


class TestFerrowickPut(abstract.AbstractPutTests, FerrowickFixtures):
    pass


class TestFerrowickOpen(abstract.AbstractOpenTests, FerrowickFixtures):
    pass


class TestFerrowickPipe(abstract.AbstractPipeTests, FerrowickFixtures):
    pass


@pytest.fixture
def ffs():
    fs = FerrowickFileSystem(fs=ferrowick.PyFs())
    fs.makedirs("/d/sub")
    fs.pipe_file("/d/f", b"0123456789")
    return fs


def test_the_entry_point_and_urls_reach_the_shared_default():
    fs = fsspec.filesystem("ferrowick")
    assert isinstance(fs, FerrowickFileSystem) and fsspec.filesystem("ferrowick") is fs
    with fsspec.open("ferrowick://eco/url.txt", "w") as f:
        f.write("hi")
    assert FerrowickFileSystem().pyfs is fs.pyfs
    assert fs.pyfs.listdir("/eco") == (["url.txt"], [])
    assert fsspec.open("ferrowick:///eco/url.txt", "rb").open().read() == b"hi"
    fs.rm("ferrowick://eco", recursive=True)
    assert not fs.pyfs.exists("/eco")


def test_a_given_pyfs_is_used_alone_and_not_cached():
    a, b = ferrowick.PyFs(), ferrowick.PyFs()
    fa = fsspec.filesystem("ferrowick", fs=a)
    assert fa.pyfs is a and FerrowickFileSystem(fs=a) is not fa
    fa.pipe_file("/x", b"1")
    assert a.exists("/x") and not b.exists("/x")
    with pytest.raises(TypeError):
        FerrowickFileSystem(fs="/tmp")


def test_listing_and_info(ffs):
    assert ffs.ls("/d", detail=False) == ["/d/f", "/d/sub"]
    f, sub = ffs.ls("ferrowick://d/")
    assert (f["name"], f["type"], f["size"]) == ("/d/f", "file", 10)
    assert (sub["name"], sub["type"], sub["size"]) == ("/d/sub", "directory", 0)
    assert ffs.ls("/d/f") == [f] and ffs.info("d/f") == f
    assert ffs.info("/")["type"] == "directory" and ffs.info("/d")["size"] == 2
    assert ffs.find("/", withdirs=True) == ["/", "/d", "/d/f", "/d/sub"]
    assert (ffs.isdir("/d"), ffs.isfile("/d"), ffs.isfile("/d/f"), ffs.exists("/nope")) == (True, False, True, False)


@pytest.mark.parametrize("start, end", [(None, None), (2, None), (None, -2), (-3, None), (5, 100), (4, 2), (-100, 3)])
def test_cat_file_ranges_slice_like_python(ffs, start, end):
    assert ffs.cat_file("/d/f", start, end) == b"0123456789"[start:end]


def test_writes_create_parents_unless_told_not_to(ffs):
    ffs.pipe_file("/new/deep/f", b"x")
    ffs.touch("/other/t")
    with ffs.open("/third/o", "wb") as f:
        f.write(b"y")
    assert ffs.cat("/new/deep/f") == b"x" and ffs.cat("/third/o") == b"y" and ffs.isfile("/other/t")
    strict = FerrowickFileSystem(fs=ffs.pyfs, auto_mkdir=False)
    with pytest.raises(FileNotFoundError):
        strict.pipe_file("/nowhere/f", b"x")
    # fsspec's own mv check, on this file system: nothing moves, nothing is lost.
    with pytest.raises(FileNotFoundError):
        strict.mv("/d/f", "/nowhere/f")
    assert ffs.cat_file("/d/f") == b"0123456789"


def test_mv_moves_files_and_trees(ffs):
    ffs.mv("/d", "/e", recursive=True)
    assert ffs.find("/", withdirs=True) == ["/", "/e", "/e/f", "/e/sub"]
    ffs.mv("/e/f", "/e/sub/g")
    assert ffs.cat_file("/e/sub/g") == b"0123456789" and not ffs.exists("/e/f")


def test_touch_empties_only_when_asked(ffs):
    ffs.touch("/d/f", truncate=False)
    assert ffs.cat_file("/d/f") == b"0123456789"
    ffs.touch("/d/f")
    assert ffs.cat_file("/d/f") == b""


DEEP = "/" + "/".join(["a"] * 70)


@pytest.mark.parametrize("call, exc, code", [
    (lambda fs: fs.cat_file("/missing"), FileNotFoundError, errno.ENOENT),
    (lambda fs: fs.cat_file("/d"), IsADirectoryError, errno.EISDIR),
    (lambda fs: fs.open("/d", "rb"), IsADirectoryError, errno.EISDIR),
    (lambda fs: fs.ls("/d/f/x"), NotADirectoryError, errno.ENOTDIR),
    (lambda fs: fs.mkdir("/d"), FileExistsError, errno.EEXIST),
    (lambda fs: fs.makedirs("/d"), FileExistsError, errno.EEXIST),
    (lambda fs: fs.makedirs("/d/f/x", exist_ok=True), NotADirectoryError, errno.ENOTDIR),
    (lambda fs: fs.makedirs("/d/f", exist_ok=True), NotADirectoryError, errno.ENOTDIR),
    (lambda fs: fs.rmdir("/d"), OSError, errno.ENOTEMPTY),
    (lambda fs: fs.rmdir("/d/f"), NotADirectoryError, errno.ENOTDIR),
    (lambda fs: fs.rm("/d"), OSError, errno.ENOTEMPTY),
    (lambda fs: fs.rm("/missing"), FileNotFoundError, errno.ENOENT),
    (lambda fs: fs.rm_file("/d/sub"), IsADirectoryError, errno.EISDIR),
    (lambda fs: fs.pipe_file("/d/f", b"", mode="create"), FileExistsError, errno.EEXIST),
    (lambda fs: fs.makedirs(DEEP), OSError, errno.ENAMETOOLONG),
    (lambda fs: (fs.open("/d/f", "rb"), fs.open("/d/f", "wb")), OSError, errno.EBUSY),
])
def test_failures_are_os_errors_with_the_file_systems_text(ffs, call, exc, code):
    with pytest.raises(exc) as e:
        call(ffs)
    assert e.value.errno == code
    assert not e.value.strerror.startswith("[Errno")


def test_empty_directories_go_without_recursion(ffs):
    ffs.rm("/d/sub")
    ffs.rm("/d", recursive=True)
    assert ffs.ls("/") == []


def test_ferrowick_and_ferrowickfs_open_do_not_import_fsspec():
    code = (
        "import sys, ferrowick, ferrowickfs\n"
        "fs = ferrowick.PyFs()\n"
        "with ferrowickfs.open(fs, '/a', 'w') as f: f.write('x')\n"
        "assert ferrowickfs.open(fs, '/a').read() == 'x'\n"
        "assert 'fsspec' not in sys.modules, 'fsspec was imported'\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
