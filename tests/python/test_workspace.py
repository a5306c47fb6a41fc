"""Cloning, snapshots and pickling as the binding offers them.

The tree semantics (what a clone or a snapshot holds, copy-on-write, hostile
snapshots in detail) are tested in C++; here what only the binding can get
wrong: the copying protocols, bytes-like arguments, memory sharing as a
process sees it, and the errors a script gets.
"""

import copy
import multiprocessing
import pickle

import pytest

from ferrowick import PyFs, Whence

MIB = 1 << 20


def write(fs, path, data):
    with fs.open(path, "w") as h:
        h.write(data)


def read(fs, path):
    with fs.open(path, "r") as h:
        return h.read(1 << 30)


@pytest.fixture
def tree():
    fs = PyFs()
    fs.mkdir("/src")
    fs.mkdir("/gone")
    fs.remove("/gone", False)  # a gap in the identifiers
    for name in ("b", "a", "ü-long-name-beyond-inline"):
        write(fs, f"/src/{name}", name.encode() * 40)
    return fs


COPIES = {
    "clone": lambda fs: fs.clone(),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle": lambda fs: pickle.loads(pickle.dumps(fs)),
    "from bytes": lambda fs: PyFs.from_snapshot(fs.snapshot()),
    "from bytearray": lambda fs: PyFs.from_snapshot(bytearray(fs.snapshot())),
    "from memoryview": lambda fs: PyFs.from_snapshot(data=memoryview(b"xx" + fs.snapshot())[2:]),
}


def times(fs, path):
    st = fs.stat(path)
    return st.mtime_ns, st.birthtime_ns


@pytest.mark.parametrize("make", COPIES.values(), ids=COPIES.keys())
def test_every_copy_is_the_same_tree_and_independent(tree, make):
    other = make(tree)
    assert type(other) is PyFs and other is not tree
    assert str(other) == str(tree)
    for path in ("/", "/src", "/src/a"):
        assert times(other, path) == times(tree, path)
    other.touch("/src/new")
    write(tree, "/src/a", b"changed")
    assert read(other, "/src/a") == b"a" * 40
    assert "new" not in tree.listdir("/src")[0]
    # The same changes the other way round: identifiers went on from the same place.
    tree.touch("/src/new")
    write(other, "/src/a", b"changed")
    assert str(other) == str(tree)


def test_open_handles_stay_behind(tree):
    h = tree.open("/src/a", "rw")
    h.seek(3, Whence.SEEK_SET)
    other = tree.clone()
    with other.open("/src/a", "w") as w:  # the clone's lock word is free
        w.write(b"mine")
    with pytest.raises(ValueError, match="Resource is currently in use"):
        tree.open("/src/a", "w")
    assert h.read(3) == b"aaa"
    h.close()
    assert str(tree.clone()) == str(tree)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_clones_share_file_contents_until_written():
    fs = PyFs()
    write(fs, "/big", bytes(range(256)) * (64 * MIB // 256))
    before = resident_bytes()
    clones = [fs.clone() for _ in range(100)]
    grown = resident_bytes() - before
    assert grown < 8 * MIB, f"100 clones of a 64 MiB file took {grown / MIB:.1f} MiB"
    with clones[7].open("/big", "w") as h:
        h.write(b"\xff" * 10)
    assert read(clones[7], "/big")[:11] == b"\xff" * 10 + b"\x0a"
    assert read(fs, "/big")[:11] == bytes(range(11))
    assert read(clones[8], "/big")[:11] == bytes(range(11))


def grow_in_worker(fs):
    fs.mkdir("/from-worker")
    return fs, fs.tree("/")


def test_a_file_system_travels_to_a_worker_process_and_back(tree):
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        back, rendered = pool.apply(grow_in_worker, (tree,))
    assert rendered == back.tree("/") == tree.tree("/") + "from-worker/\n"
    assert read(back, "/src/b") == b"b" * 40


def test_a_version_1_snapshot_loads_with_times_zero():
    # The documented example, as builds before version 2 wrote it.
    v1 = b"FWSN\x01\x00\x00\x00\x03\x03\x01\x01\x01\x01\x01\x01a\x01\x02\x01\x00\x01f\x02hi"
    fs = PyFs.from_snapshot(v1)
    assert read(fs, "/a/f") == b"hi" and times(fs, "/a/f") == (0, 0)
    assert fs.snapshot()[4] == 2


HOSTILE = [
    (b"", "not a ferrowick snapshot"),
    (b"FWSN\x03\x00\x00\x00\x01\x01\x01\x00", "version 3 is not supported"),
    (b"FWSN\x01\x00\x00\x00\x01\xff\xff\x03\x01\x00", "claims 65535 records"),
    (b"FWSN\x01\x00\x00\x00\x02\x02\x01\x01\x01\x01\x00\x02..\x00", 'named ".."'),
    (b"FWSN\x01\x00\x00\x00\x03\x03\x01\x00\x01\x01\x01a\x01\x02\x01\x01\x01b\x01\x01", "cycle"),
    (b"FWSN\x01\x00\x00\x00\x02\x02\x01\x01\x01\x01\x00\x01f\xff\xff\x03", "needs 65535 bytes but 0 remain"),
]


@pytest.mark.parametrize("data, message", HOSTILE)
def test_hostile_snapshots_raise_value_error(data, message):
    with pytest.raises(ValueError, match="^invalid snapshot: ") as e:
        PyFs.from_snapshot(data)
    assert message in str(e.value)


def test_every_damaged_snapshot_is_refused_or_sound(tree):
    data = tree.snapshot()
    for n in range(len(data)):
        with pytest.raises(ValueError):
            PyFs.from_snapshot(data[:n])
    for i in range(len(data)):
        damaged = bytearray(data)
        damaged[i] ^= 0x41
        try:
            fs = PyFs.from_snapshot(damaged)
        except ValueError:
            continue
        assert PyFs.from_snapshot(fs.snapshot()).tree("/") == fs.tree("/")


@pytest.mark.parametrize("value", ["text", 3, None, [1, 2]])
def test_from_snapshot_wants_a_bytes_like_object(value):
    with pytest.raises(TypeError, match="^argument 'data': a bytes-like object is required"):
        PyFs.from_snapshot(value)
