"""PyFs.tree: the indented rendering of a directory's contents."""

import pytest

EXAMPLE_LINES = ["a/", "  b/", "  x", "c/", "f"]


def lines(*items):
    return "".join(item + "\n" for item in items)


@pytest.fixture
def example(fs):
    fs.mkdir("/a")
    fs.touch("/a/x")
    fs.mkdir("/a/b")
    fs.touch("/f")
    fs.mkdir("/c")
    return fs


class TestRendering:
    def test_empty_file_system(self, fs):
        assert fs.tree("/") == ""

    @pytest.mark.parametrize(
        "ident, expected",
        [
            (None, lines(*EXAMPLE_LINES)),
            ("", lines(*EXAMPLE_LINES)),
            (">", lines(*(">" + line for line in EXAMPLE_LINES))),
            ("\t|", lines(*("\t|" + line for line in EXAMPLE_LINES))),
        ],
    )
    def test_worked_example(self, example, ident, expected):
        assert example.tree("/", ident) == expected
        assert example.tree(path="/", ident=ident) == expected

    @pytest.mark.parametrize("path", ["", "/", "//", ".", "\\", "/a/..", "/./"])
    def test_root_aliases_render_alike(self, example, path):
        assert example.tree(path) == lines(*EXAMPLE_LINES)

    @pytest.mark.parametrize("path", ["/a", "a", "\\a", "/a/", "/c/../a"])
    def test_subdirectory(self, example, path):
        assert example.tree(path) == lines("b/", "x")

    @pytest.mark.parametrize("ident, expected", [(None, "x\n"), ("--", "--x\n")])
    def test_single_file(self, fs, ident, expected):
        fs.mkdir("/a")
        fs.touch("/a/x")
        assert fs.tree("/a", ident) == expected

    def test_empty_subdirectory_has_only_its_line(self, fs):
        fs.mkdir("/a")
        fs.mkdir("/a/e")
        assert fs.tree("/a") == "e/\n"
        assert fs.tree("/a/e") == ""

    def test_groups_keep_creation_order_and_are_not_sorted(self, fs):
        for kind, name in [("touch", "z"), ("mkdir", "y"), ("touch", "a"), ("mkdir", "b"), ("touch", "m")]:
            getattr(fs, kind)("/" + name)
        fs.touch("/y/inner")
        assert fs.tree("/") == lines("y/", "  inner", "b/", "z", "a", "m")

    def test_prefix_repeats_on_every_nested_line(self, fs):
        fs.mkdir("/p")
        fs.mkdir("/p/q")
        fs.mkdir("/p/q/r")
        fs.touch("/p/q/r/leaf")
        fs.touch("/p/top")
        assert fs.tree("/", "# ") == lines("# p/", "#   q/", "#     r/", "#       leaf", "#   top")

    def test_deepest_chain(self, fs):
        path = ""
        for _ in range(64):
            path += "/d"
            fs.mkdir(path)
        fs.touch(path[:-2] + "/leaf")
        expected = "".join("  " * level + "d/\n" for level in range(64))
        expected += "  " * 63 + "leaf\n"
        assert fs.tree("/") == expected

    def test_tree_changes_nothing(self, example):
        before = str(example)
        example.tree("/", ">")
        assert str(example) == before


class TestFailures:
    @pytest.mark.parametrize(
        "path, message",
        [
            ("/missing", "Inode not found"),
            ("/a/missing", "Inode not found"),
            ("/f", "The specified INode is not a directory"),
            ("/f/.", "The specified INode is not a directory"),
            ("/f/x", "The specified INode is not a directory"),
            ("/a/x", "The specified INode is not a directory"),
        ],
    )
    def test_path_errors(self, example, path, message):
        with pytest.raises(ValueError) as e:
            example.tree(path)
        assert str(e.value) == message
