"""Hostile input at every entry point.

Each call either gives the right answer or raises a clear exception (never
an internal assertion failure, never a crash), and afterwards nothing in the
file system is lost or corrupted.
"""

import pytest

from conftest import needs_pool
from ferrowick import PyFs, PyTerm, PyUserPool, Whence

MB = 1 << 20
PAYLOAD = b"payload \x00\xff bytes"


class RaisingIndex:
    def __index__(self):
        raise ArithmeticError("hostile __index__")


class WrongIndex:
    def __index__(self):
        return "not an int"


class World:
    """A populated file system, a terminal over it and an open handle."""

    def __init__(self):
        self.fs = PyFs()
        for d in ("/d", "/d/e"):
            self.fs.mkdir(d)
        self.fs.touch("/d/f")
        h = self.fs.open("/data", "w")
        h.write(PAYLOAD)
        h.close()
        self.term = PyTerm(self.fs)
        self.handle = self.fs.open("/d/f", "rw")

    def snapshot(self):
        h = self.fs.open("/data", "r")
        content = h.read(1024)
        h.close()
        return self.fs.tree("/"), content, self.term.exec("pwd"), self.handle.tell()

    def assert_intact(self):
        assert self.snapshot() == INTACT


@pytest.fixture
def world():
    w = World()
    yield w
    w.assert_intact()


INTACT = World().snapshot()

# Every text parameter of every entry point: (name shown in errors, call).
TEXT_PARAMS = {
    "mkdir.path": ("path", lambda w, v: w.fs.mkdir(v)),
    "touch.path": ("path", lambda w, v: w.fs.touch(v)),
    "open.path": ("path", lambda w, v: w.fs.open(v, "r")),
    "open.mode": ("mode", lambda w, v: w.fs.open("/new", v)),
    "listdir.path": ("path", lambda w, v: w.fs.listdir(v)),
    "remove.path": ("path", lambda w, v: w.fs.remove(v, False)),
    "tree.path": ("path", lambda w, v: w.fs.tree(v)),
    "tree.ident": ("ident", lambda w, v: w.fs.tree("/", v)),
    "exec.command": ("command", lambda w, v: w.term.exec(v)),
}

# Every integer parameter that needs no host account.
INT_PARAMS = {
    "read.buffer": ("buffer", lambda w, v: w.handle.read(v)),
    "seek.offset": ("offset", lambda w, v: w.handle.seek(v, Whence.SEEK_SET)),
    "PyUserPool.user_count": ("user_count", lambda w, v: PyUserPool(v)),
}

OTHER_PARAMS = {
    "write.buffer": ("buffer", lambda w, v: w.handle.write(v)),
    "remove.recurse": ("recurse", lambda w, v: w.fs.remove("/d/e", v)),
    "seek.whence": ("whence", lambda w, v: w.handle.seek(0, v)),
    "PyTerm.fs": ("fs", lambda w, v: PyTerm(v)),
}


ALL_PARAMS = TEXT_PARAMS | INT_PARAMS | OTHER_PARAMS
ACCEPTED = {
    "path": str, "mode": str, "command": str, "ident": (str, type(None)), "offset": int,
    "user_count": (int, type(None)), "recurse": bool, "whence": Whence, "fs": PyFs,
}
WRONG = [object(), 1.5, [], b"x", bytearray(b"x"), 7, "s", None, True]
WRONG_CASES = [
    pytest.param(where, value, id=f"{where}-{type(value).__name__}")
    for where, (name, _) in sorted(ALL_PARAMS.items())
    for value in WRONG
    if not isinstance(value, {"read.buffer": int, "write.buffer": bytes}.get(where) or ACCEPTED.get(name))
]


@pytest.mark.parametrize("where, value", WRONG_CASES)
def test_every_parameter_rejects_foreign_types(world, where, value):
    name, call = ALL_PARAMS[where]
    with pytest.raises(TypeError) as e:
        call(world, value)
    assert str(e.value).startswith(f"argument '{name}': ")


class TestText:
    @pytest.mark.parametrize("where", sorted(TEXT_PARAMS))
    @pytest.mark.parametrize("value", ["\ud800", "/d/\udfff", "ok\ud83d"])
    def test_lone_surrogates_raise_unicode_errors(self, world, where, value):
        with pytest.raises(UnicodeEncodeError):
            TEXT_PARAMS[where][1](world, value)

    def test_nul_bytes_are_ordinary_name_bytes(self, world):
        fs = world.fs
        fs.mkdir("/a\0b")
        fs.touch("/d/x\0")
        assert fs.listdir("/") == (["data"], ["d", "a\0b"])
        assert fs.listdir("/d")[0] == ["f", "x\0"]
        with pytest.raises(ValueError, match="^Inode not found$"):
            fs.listdir("/a")
        assert world.term.exec("echo a\0b") == "a\0b"
        world.term.exec("mkdir c\0d")
        assert fs.tree("/", "\0").splitlines() == ["\0d/", "\0  e/", "\0  f", "\0  x\0", "\0a\0b/", "\0c\0d/", "\0data"]
        with pytest.raises(ValueError, match="^Unrecognized file mode$"):
            fs.open("/data", "r\0")
        for path in ("/a\0b", "/d/x\0", "/c\0d"):
            fs.remove(path, False)

    def test_megabyte_names(self, world):
        fs, name = world.fs, "n" * MB
        fs.mkdir("/" + name)
        fs.touch(f"/{name}/{name}")
        assert fs.listdir("/" + name) == ([name], [])
        assert fs.tree("/" + name, name) == name + name + "\n"
        with pytest.raises(ValueError, match="^Resource already exists$"):
            fs.mkdir("/" + name)
        with pytest.raises(ValueError) as e:
            world.term.exec("mkdir " + name)
        assert str(e.value) == f"mkdir: cannot create directory '{name}': Resource already exists"
        with pytest.raises(ValueError, match="^Inode not found$"):
            fs.listdir("/missing/" + name)
        fs.remove("/" + name, True)

    @pytest.mark.parametrize(
        "path, names",
        [
            ("/" * 10000, "root"),
            ("\\" * 10000, "root"),
            ("/\\" * 5000 + "d" + "\\/" * 5000 + "e" + "/" * 10000, "e"),
            ("/.." * 10000, "root"),
            ("/.." * 10000 + "/d/./e/" + "../" * 10000 + "d/e", "e"),
        ],
    )
    def test_separator_and_dot_dot_floods_resolve(self, world, path, names):
        expected = world.fs.listdir("/" if names == "root" else "/d/e")
        assert world.fs.listdir(path) == expected
        assert world.fs.tree(path) == world.fs.tree("/" if names == "root" else "/d/e")

    def test_dot_dot_chains_cannot_climb_above_the_root(self, world):
        world.fs.mkdir("../" * 10000 + "x")
        assert "x" in world.fs.listdir("/")[1]
        with pytest.raises(ValueError, match="^Resource already exists$"):
            world.fs.mkdir("/" * 10000)
        for _ in range(100):
            world.term.exec("cd ..")
        assert world.term.exec("pwd") == "/"
        with pytest.raises(ValueError, match="Inode not found$"):
            world.term.exec("ls " + "../" * 10000)
        world.fs.remove("/x", False)


class TestDepth:
    def test_sixty_four_levels_and_not_one_more(self, world):
        fs = world.fs
        path = ""
        for _ in range(64):
            path += "/c"
            fs.mkdir(path)
        for create in (fs.mkdir, fs.touch, lambda p: fs.open(p, "w")):
            with pytest.raises(ValueError, match="^Maximum filesystem depth exceeded$"):
                create(path + "/deeper")
        assert fs.tree("/c").count("\n") == 63
        with pytest.raises(ValueError, match="^Inode not found$"):
            fs.listdir(path + "/c" * 200)
        fs.remove("/c", True)
        assert "c" not in fs.listdir("/")[1]

    def test_terminal_walks_down_to_the_limit(self, world):
        term = PyTerm(world.fs)
        for _ in range(64):
            term.exec("mkdir c")
            term.exec("cd c")
        assert term.exec("pwd") == "/c" * 64
        with pytest.raises(ValueError) as e:
            term.exec("touch x")
        assert str(e.value) == "touch: cannot create file 'x': Maximum filesystem depth exceeded"
        world.term.exec("rm -r c")
        with pytest.raises(ValueError, match="^pwd: cannot access '"):
            term.exec("pwd")


class TestIntegers:
    @pytest.mark.parametrize(
        "where, value, outcome",
        [
            ("read.buffer", 0, b""),
            ("read.buffer", 2**32, b""),
            ("read.buffer", 2**64 - 1, b""),
            ("seek.offset", 0, None),
            ("seek.offset", 2**32, None),
            ("seek.offset", 2**64 - 1, None),
            ("PyUserPool.user_count", 0, PyUserPool),
        ],
    )
    def test_values_in_range(self, world, where, value, outcome):
        result = INT_PARAMS[where][1](world, value)
        assert result == outcome if not isinstance(outcome, type) else isinstance(result, outcome)

    @pytest.mark.parametrize("where", sorted(INT_PARAMS))
    @pytest.mark.parametrize("value", [-1, -(2**64), 2**64, 2**64 + 1, 2**200])
    def test_values_out_of_range_overflow(self, world, where, value):
        with pytest.raises(OverflowError):
            INT_PARAMS[where][1](world, value)

    def test_user_count_is_32_bits(self):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            PyUserPool(2**32)

    @pytest.mark.parametrize("where", sorted(INT_PARAMS))
    def test_raising_index_propagates_unchanged(self, world, where):
        with pytest.raises(ArithmeticError, match="^hostile __index__$"):
            INT_PARAMS[where][1](world, RaisingIndex())

    @pytest.mark.parametrize("where", sorted(INT_PARAMS))
    def test_index_returning_a_non_int(self, world, where):
        with pytest.raises(TypeError):
            INT_PARAMS[where][1](world, WrongIndex())

    def test_seek_far_away_stays_inside_the_file(self, world):
        h = world.fs.open("/data", "r")
        for whence in (Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END):
            h.seek(2**64 - 1, whence)
            assert h.tell() in (0, len(PAYLOAD))
        h.close()


class TestClosedHandle:
    def test_closed_handle_outlives_its_file_system(self):
        fs = PyFs()
        h = fs.open("/f", "w")
        h.close()
        del fs
        with pytest.raises(ValueError, match="^Invalid file descriptor$"):
            h.write(b"x")
        assert str(h).startswith("FileHandle { id: None, type: FileHandleType(WRITE), fs: FileSystem { ")


class TestCommandLines:
    @pytest.mark.parametrize(
        "line, output",
        [
            ("echo " + "x" * MB, "x" * MB),
            (" \t\n" * (MB // 3), ""),
            ("#" + "c" * MB, ""),
            ("echo " + "w " * (MB // 2), " ".join(["w"] * (MB // 2))),
            ("echo " + '""' * (MB // 2), ""),
            ("echo " + "'' " * (MB // 3), " " * (MB // 3 - 1)),
            ("echo " + "\\\n" * (MB // 2) + "z", "z"),
        ],
        ids=["long word", "blanks", "comment", "many words", "empty quotes", "empty words", "continuations"],
    )
    def test_megabyte_lines(self, world, line, output):
        assert world.term.exec(line) == output

    @pytest.mark.parametrize(
        "line",
        [
            "echo '" + "x" * MB,
            'echo "' + "x" * MB,
            "echo " + "x" * MB + "\\",
            'echo "' + "\\\"" * (MB // 2),
            "mkdir '" + "q" * MB,
            "'" * (MB + 1),
        ],
        ids=["single", "double", "backslash", "escaped quotes", "mkdir", "quotes only"],
    )
    def test_unbalanced_quotes_are_refused_whole(self, world, line):
        with pytest.raises(ValueError, match="^The command was not correctly formatted$"):
            world.term.exec(line)

    def test_megabyte_command_name_and_paths(self, world):
        with pytest.raises(ValueError) as e:
            world.term.exec("y" * MB)
        assert str(e.value) == "y" * MB + ": command not found"
        with pytest.raises(ValueError) as e:
            world.term.exec("cat /" + "p" * MB)
        assert str(e.value) == "p" * MB + ": Inode not found"
        with pytest.raises(ValueError) as e:
            world.term.exec("rm --" + "o" * MB)
        assert f"unexpected argument '--{'o' * MB}' found" in str(e.value)


@pytest.fixture(scope="module")
def session():
    session = PyUserPool(1).allocate().spawn()
    yield session
    session.close()


@needs_pool
class TestSessions:
    @pytest.mark.parametrize("method", ["read", "read_err"])
    @pytest.mark.parametrize(
        "value, exc",
        [(-1, OverflowError), (2**32, OverflowError), (2**64, OverflowError), (2**64 + 1, OverflowError),
         (RaisingIndex(), ArithmeticError), ("1", TypeError), (1.5, TypeError)],
    )
    def test_read_sizes(self, session, method, value, exc):
        with pytest.raises(exc):
            getattr(session, method)(value)
        assert getattr(session, method)(0) == b""

    @pytest.mark.parametrize("value", ["text", bytearray(b"x"), memoryview(b"x"), None, 1])
    def test_write_takes_bytes_only(self, session, value):
        with pytest.raises(TypeError, match="^argument 'data': "):
            session.write(value)
