"""PyFileHandle and Whence: byte-level access to files of a PyFs."""

import gc

import pytest

from ferrowick import PyFs, Whence

IN_USE = "Resource is currently in use"
CLOSED = "Invalid file descriptor"
NO_READ = "File does not support the specified operation: read"
NO_WRITE = "File does not support the specified operation: write"
BAD_MODE = "Unrecognized file mode"
MAX_WORD = 2**64 - 1


def raises_value(message, call, *args):
    with pytest.raises(ValueError) as e:
        call(*args)
    assert str(e.value) == message


def make_file(fs, path, content):
    h = fs.open(path, "w")
    assert h.write(content) == len(content)
    h.close()


@pytest.fixture
def ten(fs):
    """A reader on a 10-byte file."""
    make_file(fs, "/ten", b"0123456789")
    return fs.open("/ten", "r")


class TestOpening:
    @pytest.mark.parametrize("mode, render", [
        ("", "FileHandleType(0x0)"),
        ("r", "FileHandleType(READ)"),
        ("w", "FileHandleType(WRITE)"),
        ("rw", "FileHandleType(READ | WRITE)"),
        ("wr", "FileHandleType(READ | WRITE)"),
    ])
    def test_accepted_modes(self, fs, mode, render):
        h = fs.open("/f", mode)
        assert f", type: {render}, fs: " in str(h)

    @pytest.mark.parametrize("mode", ["rr", "ww", "a", "R", "r+", "x", " r", "rwr", "\u00e9"])
    def test_rejected_modes_touch_nothing(self, fs, mode):
        raises_value(BAD_MODE, fs.open, "/f", mode)
        raises_value(BAD_MODE, fs.open, "/missing/dir/f", mode)  # mode comes first
        assert fs.listdir("/") == ([], [])

    @pytest.mark.parametrize("mode", ["", "r", "w", "rw"])
    def test_missing_file_is_created_empty_in_any_mode(self, fs, mode):
        h = fs.open("/new", mode)
        assert fs.listdir("/") == (["new"], [])
        assert h.tell() == 0
        assert "data: FileData { data: [] }" in str(fs)

    def test_first_file_has_id_1(self, fs):
        assert fs.open("/f", "r").id() == 1

    def test_id_is_the_files_inode(self, fs):
        fs.mkdir("/d")
        fs.touch("/d/a")
        assert fs.open("/d/a", "r").id() == 2
        assert fs.open("/d/b", "r").id() == 3

    @pytest.mark.parametrize("path, message", [
        ("/d", "The specified INode is not a file"),
        ("/d/", "The specified INode is not a file"),
        ("/d/.", "The specified INode is not a file"),
        ("/", "The specified INode is not a file"),
        ("/f/x", "The specified INode is not a directory"),
        ("/missing/x", "Inode not found"),
    ])
    def test_open_failures_create_nothing(self, fs, path, message):
        fs.mkdir("/d")
        fs.touch("/f")
        before = str(fs)
        raises_value(message, fs.open, path, "rw")
        assert str(fs) == before


class TestLocks:
    def test_readers_share_and_exclude_a_writer(self, fs):
        first, second = fs.open("/f", "r"), fs.open("/f", "r")
        assert "FileLock { flag: 2 }" in str(fs)
        for mode in ("w", "rw", "wr"):
            raises_value(IN_USE, fs.open, "/f", mode)
        first.close()
        raises_value(IN_USE, fs.open, "/f", "w")
        second.close()
        writer = fs.open("/f", "w")
        assert writer.write(b"x") == 1

    def test_writer_excludes_everyone(self, fs):
        writer = fs.open("/f", "rw")
        for mode in ("", "r", "w", "rw"):
            raises_value(IN_USE, fs.open, "/f", mode)
        writer.close()
        fs.open("/f", "r").close()

    def test_empty_mode_counts_as_a_reader(self, fs):
        h = fs.open("/f", "")
        raises_value(IN_USE, fs.open, "/f", "w")
        fs.open("/f", "r").close()  # readers still share with it
        raises_value(NO_READ, h.read, 1)
        raises_value(NO_WRITE, h.write, b"x")
        h.seek(0, Whence.SEEK_END)
        assert h.tell() == 0
        h.close()
        fs.open("/f", "w").close()

    @pytest.mark.parametrize("mode", ["", "r", "w", "rw"])
    def test_dropping_the_object_frees_the_lock(self, fs, mode):
        h = fs.open("/f", mode)
        del h
        gc.collect()
        writer = fs.open("/f", "w")
        del writer
        assert "FileLock { flag: 0 }" in str(fs)

    def test_closed_handle_keeps_no_lock(self, fs):
        h = fs.open("/f", "w")
        h.close()
        fs.open("/f", "w").close()
        fs.remove("/f", False)
        assert fs.listdir("/") == ([], [])

    def test_other_files_are_independent(self, fs):
        a = fs.open("/a", "w")
        b = fs.open("/b", "w")
        assert (a.id(), b.id()) == (1, 2)


class TestReadWrite:
    def test_write_does_not_move_and_read_does(self, fs):
        h = fs.open("/f", "rw")
        assert h.write(b"hello") == 5
        assert h.tell() == 0
        assert h.read(2) == b"he"
        assert h.tell() == 2

    def test_second_write_overwrites_at_the_same_place(self, fs):
        h = fs.open("/f", "rw")
        h.write(b"abc")
        h.write(b"xy")
        assert h.read(10) == b"xyc"

    def test_write_past_the_end_after_a_seek_extends(self, fs):
        h = fs.open("/f", "rw")
        h.write(b"abcd")
        h.seek(2, Whence.SEEK_SET)
        h.write(b"XYZW")
        h.seek(0, Whence.SEEK_SET)
        assert h.read(100) == b"abXYZW"

    def test_empty_write(self, fs):
        h = fs.open("/f", "w")
        assert h.write(b"") == 0
        assert "data: FileData { data: [] }" in str(fs)

    def test_large_binary_content_round_trips(self, fs):
        data = bytes(range(256)) * 400
        make_file(fs, "/big", data)
        h = fs.open("/big", "r")
        assert h.read(len(data) + 1) == data
        assert h.read(1) == b""

    @pytest.mark.parametrize("size, expected, position", [
        (0, b"", 0),
        (4, b"0123", 4),
        (10, b"0123456789", 10),
        (11, b"0123456789", 10),
        (2**40, b"0123456789", 10),
        (MAX_WORD, b"0123456789", 10),
    ])
    def test_read_sizes(self, ten, size, expected, position):
        assert ten.read(size) == expected
        assert ten.tell() == position

    def test_read_to_the_end_then_empty(self, fs):
        make_file(fs, "/f", b"abcd")
        h = fs.open("/f", "r")
        assert h.read(10) == b"abcd"
        assert h.read(10) == b""
        assert h.tell() == 4

    @pytest.mark.parametrize("size, count", [(3, 3), (0, 0), (50, 10)])
    def test_read_announces_its_count_on_descriptor_1(self, ten, capfd, size, count):
        ten.read(size)
        out, err = capfd.readouterr()
        assert out == f"Read {count} bytes from file\n"
        assert err == ""

    def test_read_announcement_bypasses_sys_stdout(self, ten, capsys):
        ten.read(4)
        assert capsys.readouterr().out == ""

    def test_failed_read_announces_nothing(self, fs, capfd):
        h = fs.open("/f", "w")
        raises_value(NO_READ, h.read, 4)
        assert capfd.readouterr().out == ""

    def test_new_file_read_gives_nothing(self, fs, capfd):
        assert fs.open("/new", "r").read(10) == b""
        assert capfd.readouterr().out == "Read 0 bytes from file\n"

    @pytest.mark.parametrize("mode, op, message", [
        ("w", "read", NO_READ),
        ("r", "write", NO_WRITE),
        ("", "read", NO_READ),
        ("", "write", NO_WRITE),
    ])
    def test_mode_refusals_leave_the_handle_unchanged(self, fs, mode, op, message):
        make_file(fs, "/f", b"abc")
        h = fs.open("/f", mode)
        h.seek(1, Whence.SEEK_SET)
        raises_value(message, *((h.read, 2) if op == "read" else (h.write, b"zz")))
        assert h.tell() == 1
        h.close()
        assert fs.open("/f", "r").read(10) == b"abc"


class TestSeek:
    @pytest.mark.parametrize("steps, expected", [
        ([(20, Whence.SEEK_SET)], 10),
        ([(4, Whence.SEEK_SET)], 4),
        ([(3, Whence.SEEK_END)], 7),
        ([(0, Whence.SEEK_END)], 10),
        ([(10, Whence.SEEK_END)], 0),
        ([(20, Whence.SEEK_END)], 0),
        ([(7, Whence.SEEK_SET), (2, Whence.SEEK_CUR)], 9),
        ([(7, Whence.SEEK_SET), (5, Whence.SEEK_CUR)], 10),
        ([(7, Whence.SEEK_SET), (MAX_WORD, Whence.SEEK_CUR)], 10),
        ([(MAX_WORD, Whence.SEEK_CUR)], 10),
        ([(MAX_WORD, Whence.SEEK_SET)], 10),
        ([(MAX_WORD, Whence.SEEK_END)], 0),
        ([(8, Whence.SEEK_SET), (0, Whence.SEEK_SET)], 0),
    ])
    def test_clamping(self, ten, steps, expected):
        for offset, whence in steps:
            assert ten.seek(offset, whence) is None
        assert ten.tell() == expected

    def test_five_byte_file(self, fs):
        make_file(fs, "/f", b"abcde")
        h = fs.open("/f", "r")
        h.seek(2, Whence.SEEK_END)
        assert h.tell() == 3
        h.seek(1, Whence.SEEK_CUR)
        assert h.tell() == 4
        assert h.read(5) == b"e"
        h.seek(1, Whence.SEEK_SET)
        assert h.read(2) == b"bc"
        h.seek(9, Whence.SEEK_SET)
        assert h.tell() == 5

    def test_keywords(self, ten):
        ten.seek(whence=Whence.SEEK_END, offset=1)
        assert ten.tell() == 9

    def test_writer_may_seek(self, fs):
        h = fs.open("/f", "w")
        h.write(b"abcdef")
        h.seek(2, Whence.SEEK_END)
        assert h.tell() == 4

    def test_argument_errors(self, ten):
        with pytest.raises(OverflowError):
            ten.seek(-1, Whence.SEEK_SET)
        with pytest.raises(TypeError):
            ten.seek(0, 0)
        assert ten.tell() == 0


class TestClose:
    @pytest.mark.parametrize("call", [
        lambda h: h.close(),
        lambda h: h.id(),
        lambda h: h.tell(),
        lambda h: h.read(1),
        lambda h: h.read(0),
        lambda h: h.read(2**40),
        lambda h: h.write(b"x"),
        lambda h: h.write(b""),
        lambda h: h.seek(0, Whence.SEEK_SET),
    ])
    def test_every_use_after_close_fails(self, fs, capfd, call):
        h = fs.open("/f", "rw")
        assert h.close() is None
        raises_value(CLOSED, call, h)
        assert capfd.readouterr().out == ""

    def test_string_after_close(self, fs):
        fs.touch("/f")
        h = fs.open("/f", "r")
        h.close()
        text = str(h)
        assert text.startswith("FileHandle { id: None, type: FileHandleType(READ), fs: FileSystem { inodes: {")
        assert text.endswith("next_inode_id: 2 }, offset: 0 }")

    def test_string_of_an_open_handle_embeds_the_file_system(self, fs):
        make_file(fs, "/f", b"abc")
        h = fs.open("/f", "r")
        h.read(2)
        assert str(h) == f"FileHandle {{ id: Some(1), type: FileHandleType(READ), fs: {fs}, offset: 2 }}"

    def test_closed_handle_keeps_its_offset_in_the_rendering(self, ten):
        ten.seek(6, Whence.SEEK_SET)
        ten.close()
        assert str(ten).endswith(", offset: 6 }")

    def test_file_system_outlives_its_pyfs(self):
        fs = PyFs()
        make_file(fs, "/f", b"kept")
        h = fs.open("/f", "r")
        del fs
        gc.collect()
        assert h.read(10) == b"kept"
        h.close()
        assert 'name: "f"' in str(h)  # a closed handle still holds the file system


class TestWhence:
    MEMBERS = [("SEEK_SET", 0), ("SEEK_CUR", 1), ("SEEK_END", 2)]

    class Index:
        """An object whose __index__ gives `result` (raised if an exception)."""

        def __init__(self, result):
            self.result = result

        def __index__(self):
            if isinstance(self.result, BaseException):
                raise self.result
            return self.result

    @pytest.mark.parametrize("name, value", MEMBERS)
    def test_members(self, name, value):
        member = getattr(Whence, name)
        assert type(member) is Whence
        assert member is getattr(Whence, name)
        assert int(member) == value
        assert repr(member) == str(member) == f"Whence.{name}"

    @pytest.mark.parametrize("left, right, equal", [
        (Whence.SEEK_CUR, 1, True),
        (Whence.SEEK_CUR, Whence.SEEK_CUR, True),
        (Whence.SEEK_SET, 0, True),
        (Whence.SEEK_SET, False, True),
        (Whence.SEEK_CUR, True, True),
        (Whence.SEEK_END, 2, True),
        (Whence.SEEK_END, 1, False),
        (Whence.SEEK_SET, Whence.SEEK_END, False),
        (Whence.SEEK_SET, "0", False),
        (Whence.SEEK_SET, None, False),
        (Whence.SEEK_SET, 0.0, False),
        (Whence.SEEK_END, 2**70, False),
        (Whence.SEEK_END, -2, False),
        (Whence.SEEK_CUR, Index(1), True),
        # An __index__ that fails is not an integer: on to the Whence check,
        # then NotImplemented, so == is False and != is True.
        (Whence.SEEK_SET, Index(ValueError("no")), False),
        (Whence.SEEK_SET, Index("0"), False),
    ])
    def test_equality(self, left, right, equal):
        assert (left == right) is equal
        assert (left != right) is (not equal)

    def test_an_interrupted_index_is_not_swallowed(self):
        with pytest.raises(KeyboardInterrupt):
            Whence.SEEK_SET == self.Index(KeyboardInterrupt())

    def test_equality_from_the_int_side(self):
        assert 1 == Whence.SEEK_CUR
        assert 0 != Whence.SEEK_CUR

    @pytest.mark.parametrize("op", [
        lambda a, b: a < b,
        lambda a, b: a <= b,
        lambda a, b: a > b,
        lambda a, b: a >= b,
    ])
    @pytest.mark.parametrize("other", [Whence.SEEK_END, 2])
    def test_ordering_is_refused(self, op, other):
        with pytest.raises(TypeError):
            op(Whence.SEEK_SET, other)

    def test_not_hashable(self):
        with pytest.raises(TypeError):
            hash(Whence.SEEK_SET)
        with pytest.raises(TypeError):
            {Whence.SEEK_SET}
