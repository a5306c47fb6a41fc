"""ferrowickfs.open against the built-in open(): every script below runs on
a real temporary directory and on a PyFs, and both must tell the same story
(results, exception types and errnos, final contents)."""

import io
import os

import pytest

import ferrowick
import ferrowickfs

# Each script: (mode, open keywords, initial content of "f" or None, steps).
# A step is (method, *args); "f" names the file, "d" an existing directory.
SCRIPTS = {
    "r missing": ("r", {}, None, []),
    "r reads and seeks": ("rb", {}, b"hello\nworld\n", [("read", 3), ("tell",), ("readline",), ("seek", -2, 2), ("read",), ("seek", 0), ("readlines",)]),
    "r refuses writes": ("r", {}, b"abc", [("write", "x"), ("truncate", 0), ("read",)]),
    "w truncates, writes move": ("w", {}, b"hello", [("tell",), ("write", "ab"), ("tell",), ("write", "c")]),
    "w refuses reads": ("wb", {}, None, [("read",), ("write", b"x")]),
    "a appends from the end": ("ab", {}, b"hello", [("tell",), ("write", b"X"), ("seek", 0), ("write", b"Y"), ("tell",)]),
    "a+ reads anywhere, writes at the end": ("a+", {}, b"hello", [("seek", 1), ("read", 2), ("write", "!"), ("seek", 0), ("read",)]),
    "x creates": ("x", {}, None, [("write", "new")]),
    "x refuses an existing file": ("xb", {}, b"old", []),
    "r+ overwrites in place": ("r+b", {}, b"abcdef", [("seek", 2), ("write", b"XY"), ("tell",), ("read",), ("seek", 0, 2), ("write", b"!")]),
    "w+ seek past the end leaves zeros": ("w+b", {}, None, [("seek", 4), ("tell",), ("read",), ("write", b"z"), ("seek", 0), ("read",)]),
    "truncate keeps the position": ("w+b", {}, None, [("write", b"abcdef"), ("truncate", 2), ("tell",), ("write", b"Q"), ("seek", 0), ("read",), ("truncate", 10), ("seek", 0, 2), ("tell",)]),
    "truncate without size cuts at the position": ("r+b", {}, b"abcdef", [("seek", 3), ("truncate",), ("seek", 0), ("read",)]),
    "negative seeks": ("r+b", {}, b"abc", [("seek", -1), ("seek", -9, 2), ("seek", 1, 5), ("tell",)]),
    "text newlines out": ("w", {"newline": "\r\n"}, None, [("write", "a\nb\n")]),
    "text newlines in": ("r", {}, b"a\r\nb\rc\n", [("readlines",)]),
    "text newline kept": ("r", {"newline": ""}, b"a\r\nb\rc\n", [("readlines",)]),
    "encoding and errors": ("w+", {"encoding": "utf-16"}, None, [("write", "\u00e9t\u00e9"), ("seek", 0), ("read",)]),
    "decoding errors": ("r", {"encoding": "ascii", "errors": "replace"}, b"a\xffb", [("read",)]),
    "text seeks": ("r+", {}, b"abc", [("seek", 1, 1), ("seek", 0, 2), ("tell",), ("write", "d")]),
    "unbuffered binary": ("r+b", {"buffering": 0}, b"abc", [("read", 2), ("write", b"Z"), ("readall",)]),
    "small buffer": ("wb", {"buffering": 2}, None, [("write", b"abcdefgh"), ("flush",), ("tell",)]),
    "line buffering": ("w", {"buffering": 1}, None, [("write", "a\nb"), ("tell",)]),
    "closed file": ("r", {}, b"abc", [("close",), ("read",), ("tell",), ("readable",), ("close",)]),
    "directory": ("r", {}, "dir", []),
    "directory for writing": ("w", {}, "dir", []),
    "under a file": ("r", {}, b"x", [("open", "f/x", "r")]),
    "missing parent": ("w", {}, None, [("open", "nope/x", "w")]),
    "readinto": ("rb", {}, b"abcdef", [("readinto", 4), ("readinto", 4), ("readinto", 4)]),
    "iteration": ("r", {}, b"1\n2\n3", [("lines",)]),
    "mode attribute": ("r+b", {}, b"", [("mode",)]),
}
BAD_CALLS = [
    ("rw", {}), ("", {}), ("tb", {}), ("rr", {}), ("q", {}), ("+", {}), ("r+b+", {}),
    ("rb", {"encoding": "utf-8"}), ("rb", {"errors": "strict"}), ("rb", {"newline": ""}),
    ("r", {"buffering": 0}), ("r", {"newline": "x"}), ("r", {"encoding": "no-such-codec"}),
]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the record of the failure is the result
        if isinstance(e, OSError) and e.errno is not None:
            return (type(e).__name__, e.errno)
        return (type(e).__name__, str(e))


def play(opener, content, mode, kwargs, steps):
    """Runs one script through `opener(name, mode, **kwargs)`; returns its transcript."""
    log = []
    opened = outcome(lambda: opener("d" if content == "dir" else "f", mode, **kwargs))
    log.append(opened[0])
    if opened[0] != "ok":
        log.append(opened[1])
        return log
    f = opened[1]
    for method, *args in steps:
        if method == "open":
            log.append(outcome(lambda: opener(*args).close()))
        elif method == "readinto":
            buf = bytearray(args[0])
            log.append((outcome(lambda: f.readinto(buf)), bytes(buf)))
        elif method == "lines":
            log.append(list(f))
        elif method == "mode":
            log.append(f.mode)
        else:
            log.append(outcome(lambda: getattr(f, method)(*args)))
    f.close()
    return log


class Real:
    def __init__(self, root):
        self.root = root
        os.mkdir(root / "d")

    def open(self, name, mode, **kwargs):
        return open(self.root / name, mode, **kwargs)

    def content(self):
        p = self.root / "f"
        return p.read_bytes() if p.exists() else None


class Ferrowick:
    def __init__(self, _root):
        self.fs = ferrowick.PyFs()
        self.fs.mkdir("/d")

    def open(self, name, mode, **kwargs):
        return ferrowickfs.open(self.fs, "/" + name, mode, **kwargs)

    def content(self):
        return ferrowickfs.open(self.fs, "/f", "rb").read() if self.fs.exists("/f") else None


def transcript(system, script):
    mode, kwargs, content, steps = script
    if isinstance(content, bytes):
        with system.open("f", "wb") as f:
            f.write(content)
    log = play(system.open, content, mode, kwargs, steps)
    return log, system.content()


@pytest.mark.parametrize("name", SCRIPTS)
def test_script_behaves_as_with_the_builtin_open(name, tmp_path):
    want = transcript(Real(tmp_path), SCRIPTS[name])
    got = transcript(Ferrowick(tmp_path), SCRIPTS[name])
    assert got == want


@pytest.mark.parametrize("mode, kwargs", BAD_CALLS)
def test_bad_arguments_fail_as_with_the_builtin_open(mode, kwargs, tmp_path):
    (tmp_path / "f").write_bytes(b"")
    fs = ferrowick.PyFs()
    fs.touch("/f")
    want = outcome(lambda: open(tmp_path / "f", mode, **kwargs))
    got = outcome(lambda: ferrowickfs.open(fs, "/f", mode, **kwargs))
    assert got[0] == want[0] != "ok"
    assert got[1] == want[1]


def test_returns_the_standard_io_classes(fs):
    fs.mkdir("/d")
    kinds = {
        ("wb", -1): io.BufferedWriter, ("r", -1): io.TextIOWrapper, ("rb", -1): io.BufferedReader,
        ("ab", -1): io.BufferedWriter, ("r+b", -1): io.BufferedRandom, ("rb", 0): ferrowickfs.FerrowickRawIO,
    }
    for (mode, buffering), cls in kinds.items():
        with ferrowickfs.open(fs, "/d/f", mode, buffering) as f:
            assert type(f) is cls, mode
            assert f.name == "/d/f"


def test_a_file_open_for_writing_is_busy_until_closed(fs):
    import errno

    w = ferrowickfs.open(fs, "/f", "w")
    with pytest.raises(OSError) as e:
        ferrowickfs.open(fs, "/f", "r")
    assert (e.value.errno, e.value.strerror, e.value.filename) == (errno.EBUSY, "Resource is currently in use", "/f")
    del w  # dropping the object closes it, like a real file
    assert ferrowickfs.open(fs, "/f", "r").read() == ""


# Every name of the tree below (root, a directory, a file in the root and one
# below it, missing names) followed by each way of ending in a separator or a
# dot, in every kind of mode: the built-in on a real directory and
# ferrowickfs.open on a PyFs must fail the same way and leave the tree as it was.
DIRECTORY_FORM_BASES = ["", "d", "f", "d/g", "missing", "d/missing", "f/x", "missing/x", "d/../f"]
DIRECTORY_FORM_ENDINGS = ["/", "//", "/.", "/./", "/..", "/../", "/.//"]
DIRECTORY_FORM_MODES = ["r", "rb", "r+", "w", "a", "x", "w+b"]


@pytest.mark.parametrize("ending", DIRECTORY_FORM_ENDINGS)
def test_names_ending_in_a_separator_or_a_dot_fail_as_with_the_builtin_open(ending, tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "f").write_bytes(b"file f")
    (tmp_path / "d" / "g").write_bytes(b"file g")
    fs = ferrowick.PyFs()
    fs.mkdir("/d")
    for name, data in (("/f", b"file f"), ("/d/g", b"file g")):
        with ferrowickfs.open(fs, name, "wb") as f:
            f.write(data)

    def real_tree():
        return sorted((os.path.relpath(os.path.join(top, n), tmp_path), open(os.path.join(top, n), "rb").read())
                      for top, _, files in os.walk(tmp_path) for n in files)

    def fs_tree(top="/"):
        files, dirs = fs.listdir(top)
        found = [((top + n)[1:], fs.read_bytes(top + n)) for n in files]
        return sorted(found + [e for d in dirs for e in fs_tree(top + d + "/")])

    table = {}
    for base in DIRECTORY_FORM_BASES:
        for mode in DIRECTORY_FORM_MODES:
            name = base + ending
            want = outcome(lambda: open(f"{tmp_path}/{name}", mode).close())
            got = outcome(lambda: ferrowickfs.open(fs, "/" + name, mode).close())
            table[name, mode] = (got, want)
    assert {k: g for k, (g, w) in table.items() if g != w} == {}
    assert all(w[0] != "ok" for _, w in table.values())
    assert fs_tree() == real_tree()
