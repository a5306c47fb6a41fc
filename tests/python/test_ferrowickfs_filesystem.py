"""FerrowickFileSystem under fsspec's own abstract test suite (copy, get,
put, open, pipe; the local file system on the other side), plus what that
suite leaves out: mv, listings, ranges, errors, the entry point."""

import errno
from datetime import datetime, timedelta, timezone
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
    ino = ffs.info("/d")["ino"]
    ffs.mv("/d", "/e", recursive=True)
    assert ffs.find("/", withdirs=True) == ["/", "/e", "/e/f", "/e/sub"]
    assert ffs.info("/e")["ino"] == ino  # renamed, not copied
    ffs.mv("/e/f", "/e/sub/g")
    assert ffs.cat_file("/e/sub/g") == b"0123456789" and not ffs.exists("/e/f")
    ffs.mv("/e/sub/g", "/e/")  # into a directory, as copy places it
    ffs.mv("/e/sub", "/x/y/sub", recursive=True)  # parents made
    assert ffs.find("/", withdirs=True) == ["/", "/e", "/e/g", "/x", "/x/y", "/x/y/sub"]
    with pytest.raises(IsADirectoryError):
        ffs.mv("/x", "/z")  # a directory only with recursive=True
    with pytest.raises(OSError) as e:
        ffs.mv("/x", "/x/y/", recursive=True)
    assert e.value.errno == errno.EINVAL and ffs.isdir("/x/y/sub")


def test_mv_replaces_a_file_like_os_replace(ffs):
    # Write a temporary file, then rename it over the real one: a handle open
    # on the old file keeps it busy; once free it is replaced in one step.
    ffs.pipe_file("/d/f.tmp", b"new")
    with ffs.open("/d/f", "rb") as reader:
        with pytest.raises(OSError) as e:
            ffs.mv("/d/f.tmp", "/d/f")
        assert e.value.errno == errno.EBUSY and reader.read() == b"0123456789"
    ino = ffs.info("/d/f.tmp")["ino"]
    ffs.mv("/d/f.tmp", "/d/f")
    assert ffs.cat_file("/d/f") == b"new" and ffs.info("/d/f")["ino"] == ino
    assert ffs.ls("/d", detail=False) == ["/d/f", "/d/sub"] and not ffs.exists("/d/f.tmp")


def test_times_are_utc_datetimes_that_follow_changes(ffs):
    born, before = ffs.created("/d/f"), ffs.modified("/d/f")
    assert born.tzinfo is timezone.utc and before >= born
    assert abs(datetime.now(timezone.utc) - born) < timedelta(minutes=5)
    info = ffs.info("/d/f")
    assert info["mtime"] == pytest.approx(before.timestamp()) and info["created"] == pytest.approx(born.timestamp())
    assert ffs.ls("/d")[0]["mtime"] == info["mtime"]
    ffs.cat_file("/d/f")
    assert ffs.modified("/d/f") == before  # reading changes nothing
    ffs.touch("/d/f", truncate=False)  # a touch of an existing file: its time only
    assert ffs.modified("/d/f") > before and ffs.cat_file("/d/f") == b"0123456789"
    directory = ffs.modified("/d")
    ffs.mv("/d/f", "/d/g")
    assert ffs.modified("/d") > directory and ffs.created("/d/g") == born


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
