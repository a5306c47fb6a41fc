"""PyFs as a script sees it: creating, listing, resolving and removing by path."""

import pytest

from ferrowick import PyFs

NOT_FOUND = "Inode not found"
NOT_A_DIR = "The specified INode is not a directory"
NOT_A_FILE = "The specified INode is not a file"
EXISTS = "Resource already exists"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
TOO_DEEP = "Maximum filesystem depth exceeded"


def raises_value(message, call, *args):
    with pytest.raises(ValueError) as e:
        call(*args)
    assert str(e.value) == message


def file_id(fs, path):
    """The inode identifier of an existing file, through a short-lived reader."""
    h = fs.open(path, "r")
    try:
        return h.id()
    finally:
        h.close()


def make_chain(fs, depth):
    """Creates /d/d/.../d with `depth` directories and returns its path."""
    path = ""
    for _ in range(depth):
        path += "/d"
        fs.mkdir(path)
    return path


@pytest.fixture
def tree_fs(fs):
    # /f (file), /a/b/inner (file in a nested directory), /a/g (file)
    fs.touch("/f")
    fs.mkdir("/a")
    fs.mkdir("/a/b")
    fs.touch("/a/b/inner")
    fs.touch("/a/g")
    return fs


class TestListing:
    def test_new_file_system_is_an_empty_root(self, fs):
        assert fs.listdir("/") == ([], [])

    def test_files_then_directories(self, fs):
        fs.touch("/a")
        fs.mkdir("/d")
        assert fs.listdir("/") == (["a"], ["d"])

    def test_each_group_keeps_creation_order(self, fs):
        for kind, name in [("touch", "x"), ("mkdir", "d"), ("touch", "y"), ("mkdir", "c"), ("touch", "b")]:
            getattr(fs, kind)("/" + name)
        assert fs.listdir("/") == (["x", "y", "b"], ["d", "c"])

    def test_long_and_non_ascii_names_round_trip(self, fs):
        names = ["a-name-much-longer-than-twelve-bytes", "d\u00e9j\u00e0", "\u2622", "with space"]
        for name in names:
            fs.touch("/" + name)
        assert fs.listdir("/") == (names, [])

    def test_many_entries_keep_order(self, fs):
        names = [f"n{i}" for i in range(300)]
        for name in names:
            fs.touch("/" + name)
        assert fs.listdir("/")[0] == names


class TestResolution:
    @pytest.mark.parametrize("path", ["", "/", ".", "//", "/./.", "/..", "\\", "/../..", "a/.."])
    def test_root_aliases(self, tree_fs, path):
        assert tree_fs.listdir(path) == (["f"], ["a"])

    @pytest.mark.parametrize("path", ["a/b", "/a/b", "\\a\\b", "a//b/", "/a/./b", "/a\\b", "/a/b/.", "/a/b/../b"])
    def test_aliases_of_one_directory(self, tree_fs, path):
        assert tree_fs.listdir(path) == (["inner"], [])

    @pytest.mark.parametrize(
        "path, expected",
        [
            ("/a/b/..", (["g"], ["b"])),
            ("a/b/../", (["g"], ["b"])),
            ("/a/b/inner/../..", (["g"], ["b"])),  # ".." after a file goes to its directory
            ("/f/..", (["f"], ["a"])),
        ],
    )
    def test_dot_dot_goes_to_the_parent(self, tree_fs, path, expected):
        assert tree_fs.listdir(path) == expected

    @pytest.mark.parametrize("path", ["a/b/inner", "/a/b/inner", "\\a\\b\\inner", "a//b//inner", "/a/./b/inner",
                                      "/a/b/../b/inner", "/../a/b/inner"])
    def test_open_resolves_aliases_to_one_file(self, tree_fs, path):
        assert file_id(tree_fs, path) == file_id(tree_fs, "/a/b/inner")

    @pytest.mark.parametrize("path", ["\\a\\b\\inner", "a//b/inner", "/a/./b/inner"])
    def test_remove_resolves_aliases(self, tree_fs, path):
        tree_fs.remove(path, False)
        assert tree_fs.listdir("/a/b") == ([], [])

    @pytest.mark.parametrize(
        "op, args, message",
        [
            ("listdir", ("/missing",), NOT_FOUND),
            ("listdir", ("/a/missing/b",), NOT_FOUND),
            ("listdir", ("/f",), NOT_A_DIR),
            ("listdir", ("/f/x",), NOT_A_DIR),
            ("listdir", ("/f/.",), NOT_A_DIR),  # "." after a file still names the file
            ("listdir", ("/A",), NOT_FOUND),  # no case folding
            ("open", ("/missing/x", "r"), NOT_FOUND),
            ("open", ("/f/x", "r"), NOT_A_DIR),
            ("remove", ("/missing", False), NOT_FOUND),
            ("remove", ("/f/x", True), NOT_A_DIR),
            ("mkdir", ("/missing/x",), NOT_FOUND),
            ("touch", ("/f/x",), NOT_A_DIR),
            ("mkdir", ("/f/x",), NOT_A_DIR),
        ],
    )
    def test_resolution_failures_change_nothing(self, tree_fs, op, args, message):
        before = str(tree_fs)
        raises_value(message, getattr(tree_fs, op), *args)
        assert tree_fs.listdir("/") == (["f"], ["a"])
        # Only a failed creation may spend an identifier; nothing else moves.
        if op not in ("mkdir", "touch"):
            assert str(tree_fs) == before

    @pytest.mark.parametrize("path", ["/", "/a/", "/a/.", "/a/b/..", ""])
    def test_open_of_a_directory_is_refused(self, tree_fs, path):
        raises_value(NOT_A_FILE, tree_fs.open, path, "r")

    def test_file_dot_designates_the_file(self, tree_fs):
        tree_fs.remove("/f/.", False)
        assert tree_fs.listdir("/") == ([], ["a"])


class TestCreation:
    @pytest.mark.parametrize(
        "op, path, message",
        [
            ("mkdir", "/a", EXISTS),  # existing directory
            ("mkdir", "/f", EXISTS),  # existing file
            ("touch", "/f", EXISTS),
            ("touch", "/a", EXISTS),
            ("mkdir", "/a/", EXISTS),  # empty final name
            ("touch", "a\\", EXISTS),
            ("mkdir", "/", EXISTS),
            ("mkdir", "", EXISTS),
            ("mkdir", "/.", EXISTS),
            ("touch", "/a/..", EXISTS),
            ("mkdir", "/missing/x", NOT_FOUND),
            ("touch", "/f/x", NOT_A_DIR),
        ],
    )
    def test_failure_rows(self, fs, op, path, message):
        fs.touch("/f")
        fs.mkdir("/a")
        raises_value(message, getattr(fs, op), path)
        assert fs.listdir("/") == (["f"], ["a"])
        assert fs.listdir("/a") == ([], [])

    @pytest.mark.parametrize("path, in_root", [("f", True), ("/f", True), ("a\\f", False), ("/a/f", False),
                                               ("a//f", False), ("/a/./f", False)])
    def test_touch_places_the_file(self, fs, path, in_root):
        fs.mkdir("/a")
        fs.touch(path)
        assert fs.listdir("/") == ((["f"] if in_root else []), ["a"])
        assert fs.listdir("/a") == (([] if in_root else ["f"]), [])

    def test_backslash_separates_for_mkdir(self, fs):
        fs.mkdir("x")
        fs.mkdir("x\\y")
        assert fs.listdir("/x") == ([], ["y"])

    @pytest.mark.parametrize(
        "failing, spends",
        [
            (lambda fs: fs.touch("/f"), True),  # duplicate name
            (lambda fs: fs.touch("/f/x"), True),  # parent is a file
            (lambda fs: fs.mkdir("/f/"), False),  # invalid (empty) name
            (lambda fs: fs.mkdir("/.."), False),  # invalid name
            (lambda fs: fs.mkdir("/no/x"), False),  # parent path fails before creation
            (lambda fs: fs.open("/f", "x"), False),  # mode checked before anything else
        ],
    )
    def test_failed_creation_and_identifiers(self, fs, failing, spends):
        fs.touch("/f")  # identifier 1
        with pytest.raises(ValueError):
            failing(fs)
        fs.touch("/next")
        assert file_id(fs, "/next") == (3 if spends else 2)

    def test_depth_64_is_allowed_and_65_is_not(self, fs):
        deepest = make_chain(fs, 64)
        assert fs.listdir(deepest) == ([], [])
        for call in (fs.mkdir, fs.touch):
            raises_value(TOO_DEEP, call, deepest + "/x")
        raises_value(TOO_DEEP, fs.open, deepest + "/x", "w")
        assert fs.listdir(deepest) == ([], [])
        fs.touch(deepest[:-2] + "/leaf")  # a file at depth 64 is fine
        assert fs.listdir(deepest[:-2]) == (["leaf"], ["d"])


class TestRemoval:
    def test_file_and_empty_directory(self, tree_fs):
        tree_fs.remove("/f", False)
        tree_fs.remove("/a/b/inner", False)
        tree_fs.remove("/a/b", False)
        assert tree_fs.listdir("/") == ([], ["a"])
        assert tree_fs.listdir("/a") == (["g"], [])

    @pytest.mark.parametrize("recurse", [True, False])
    def test_file_ignores_recurse(self, tree_fs, recurse):
        assert tree_fs.remove("/f", recurse) is None
        assert tree_fs.listdir("/") == ([], ["a"])

    def test_non_empty_directory_needs_recurse(self, tree_fs):
        before = str(tree_fs)
        raises_value(NOT_EMPTY, tree_fs.remove, "/a", False)
        assert str(tree_fs) == before
        tree_fs.remove("/a", True)
        assert tree_fs.listdir("/") == (["f"], [])
        raises_value(NOT_FOUND, tree_fs.listdir, "/a/b")

    def test_keeps_sibling_order(self, fs):
        for name in "pqrs":
            fs.touch("/" + name)
        fs.remove("/q", False)
        fs.touch("/q")
        assert fs.listdir("/") == (["p", "r", "s", "q"], [])

    @pytest.mark.parametrize("path", ["/", "", "//", "/.."])
    def test_recursive_removal_of_the_root_empties_it(self, tree_fs, path):
        assert tree_fs.remove(path, True) is None
        assert tree_fs.listdir("/") == ([], [])
        tree_fs.mkdir("/again")
        assert tree_fs.listdir("/") == ([], ["again"])

    def test_root_without_recurse(self, fs):
        assert fs.remove("/", False) is None
        assert fs.listdir("/") == ([], [])
        fs.touch("/x")
        raises_value(NOT_EMPTY, fs.remove, "/", False)
        assert fs.listdir("/") == (["x"], [])

    @pytest.mark.parametrize("kind", ["touch", "mkdir"])
    @pytest.mark.parametrize("recurse", [False, True])
    def test_recreated_name_gets_a_higher_id(self, fs, kind, recurse):
        fs.mkdir("/d")
        fs.touch("/d/f")
        first = file_id(fs, "/d/f")
        fs.remove("/d" if recurse else "/d/f", recurse)
        if recurse:
            fs.mkdir("/d")
        getattr(fs, kind)("/d/f")
        if kind == "mkdir":
            fs.touch("/d/f/probe")
            assert file_id(fs, "/d/f/probe") > first + 1
        else:
            assert file_id(fs, "/d/f") > first

    @pytest.mark.parametrize("mode", ["", "r", "w", "rw"])
    def test_open_file_cannot_be_removed(self, fs, mode):
        fs.touch("/f")
        h = fs.open("/f", mode)
        for recurse in (False, True):
            raises_value(IN_USE, fs.remove, "/f", recurse)
        assert fs.listdir("/") == (["f"], [])
        h.close()
        fs.remove("/f", False)
        assert fs.listdir("/") == ([], [])

    def test_recursive_removal_stops_at_an_open_file(self, fs):
        fs.mkdir("/d")
        for name in ("first", "second", "third"):
            fs.touch("/d/" + name)
        fs.mkdir("/d/sub")
        h = fs.open("/d/second", "r")
        raises_value(IN_USE, fs.remove, "/d", True)
        assert fs.listdir("/d") == (["second", "third"], ["sub"])
        assert fs.listdir("/") == ([], ["d"])
        assert h.read(1) == b""  # the handle is still usable
        h.close()
        fs.remove("/d", True)
        assert fs.listdir("/") == ([], [])

    def test_open_file_deep_below_blocks_the_whole_directory(self, fs):
        path = make_chain(fs, 5)
        fs.touch(path + "/f")
        h = fs.open(path + "/f", "w")
        raises_value(IN_USE, fs.remove, "/d", True)
        assert fs.listdir(path) == (["f"], [])
        del h
        fs.remove("/d", True)
        assert fs.listdir("/") == ([], [])

    def test_removed_file_loses_its_content(self, fs):
        h = fs.open("/f", "w")
        h.write(b"old")
        h.close()
        fs.remove("/f", False)
        fs.touch("/f")
        assert fs.open("/f", "r").read(10) == b""


ROOT_ONLY = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { data: Directory { '
    "children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }"
)


class TestRendering:
    def test_new_file_system(self, fs):
        assert str(fs) == ROOT_ONLY

    def test_file_with_bytes_and_an_open_reader(self, fs):
        fs.mkdir("/d")
        h = fs.open("/d/f", "w")
        h.write(b"hi\n")
        h.close()
        reader = fs.open("/d/f", "r")
        text = str(fs)
        entries = [
            '0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { data: Directory { children: [1] }, '
            "poisoned: false, .. } }",
            '1: INode { id: 1, parent: 0, depth: 1, name: "d", data: RwLock { data: Directory { children: [2] }, '
            "poisoned: false, .. } }",
            '2: INode { id: 2, parent: 1, depth: 2, name: "f", data: RwLock { data: File { data: FileData { '
            "data: [104, 105, 10] }, lock: FileLock { flag: 1 } }, poisoned: false, .. } }",
        ]
        assert text.startswith("FileSystem { inodes: {")
        assert text.endswith("}, next_inode_id: 3 }")
        for entry in entries:
            assert entry in text
        prefix, suffix = "FileSystem { inodes: {", "}, next_inode_id: 3 }"
        assert len(text) == len(prefix) + len(", ".join(entries)) + len(suffix)
        reader.close()
        assert "lock: FileLock { flag: 0 }" in str(fs)

    def test_writer_flag_and_removed_entries(self, fs):
        fs.touch("/gone")
        fs.remove("/gone", False)
        h = fs.open("/w", "rw")
        text = str(fs)
        assert "FileLock { flag: -1 }" in text
        assert "gone" not in text and "1: INode" not in text
        assert text.endswith("next_inode_id: 3 }")
        del h

    def test_names_are_quoted_with_escapes(self, fs):
        fs.touch('/say "hi"')
        assert 'name: "say \\"hi\\""' in str(fs)
