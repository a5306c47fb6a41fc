"""The standard library's file formats written into and read back from a
PyFs, through ferrowickfs.open and through fsspec."""

import csv
import io
import json
import tarfile
import zipfile

import pytest

import ferrowickfs
from ferrowickfs import FerrowickFileSystem

RECORD = {"name": "ferrowick", "sizes": [1, 2, 3], "nested": {"ok": True, "text": "\u00e9\n\"q\""}}
ROWS = [["id", "text"], ["1", "plain"], ["2", "with, comma"], ["3", "with\nnewline and \"quotes\""]]


def test_json(fs):
    with ferrowickfs.open(fs, "/r.json", "w", encoding="utf-8") as f:
        json.dump(RECORD, f)
    with ferrowickfs.open(fs, "/r.json", encoding="utf-8") as f:
        assert json.load(f) == RECORD


def test_csv(fs):
    with ferrowickfs.open(fs, "/t.csv", "w", newline="") as f:
        csv.writer(f).writerows(ROWS)
    with ferrowickfs.open(fs, "/t.csv", newline="") as f:
        assert list(csv.reader(f)) == ROWS


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
def test_zipfile_write_append_read(fs, compression):
    big = bytes(range(256)) * 1000
    with zipfile.ZipFile(ferrowickfs.open(fs, "/a.zip", "wb"), "w", compression) as z:
        z.writestr("small.txt", "hello")
        z.writestr("dir/big.bin", big)
    # Appending rewrites the central directory in place: needs r+b and seeks.
    with zipfile.ZipFile(ferrowickfs.open(fs, "/a.zip", "r+b"), "a", compression) as z:
        z.writestr("later.txt", "appended")
    with zipfile.ZipFile(ferrowickfs.open(fs, "/a.zip", "rb")) as z:
        assert z.testzip() is None
        assert z.namelist() == ["small.txt", "dir/big.bin", "later.txt"]
        assert z.read("dir/big.bin") == big and z.read("later.txt") == b"appended"


@pytest.mark.parametrize("mode", ["", "gz", "bz2", "xz"])
def test_tarfile(fs, mode):
    members = {"a.txt": b"alpha", "sub/b.bin": bytes(10000)}
    # tarfile leaves a file object it was given open: the with closes it.
    with ferrowickfs.open(fs, "/t.tar", "wb") as raw, tarfile.open(fileobj=raw, mode=f"w:{mode}") as t:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    with ferrowickfs.open(fs, "/t.tar", "rb") as raw, tarfile.open(fileobj=raw, mode=f"r:{mode}") as t:
        assert {m.name: t.extractfile(m).read() for m in t.getmembers()} == members


def test_formats_through_fsspec(fs):
    ffs = FerrowickFileSystem(fs=fs)
    with ffs.open("/out/r.json", "w") as f:
        json.dump(RECORD, f)
    with ffs.open("/out/z.zip", "wb") as raw, zipfile.ZipFile(raw, "w") as z:
        z.writestr("r.json", ffs.cat_file("/out/r.json"))
    with ffs.open("/out/z.zip", "rb") as raw, zipfile.ZipFile(raw) as z:
        assert json.loads(z.read("r.json")) == RECORD
