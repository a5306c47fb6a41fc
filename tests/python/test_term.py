"""PyTerm: command lines run by the built-in interpreter over a PyFs."""

import pytest

from ferrowick import PyFs, PyTerm

MALFORMED = "The command was not correctly formatted"
RM_HELP = (
    "rm: Remove a file or a directory (potentially recursive)\n\nUsage: ferrowick [OPTIONS] <TARGET>\n\n"
    "Arguments:\n  <TARGET>\n\nOptions:\n  -r, --recursive\n  -h, --help       Print help\n"
    "  -V, --version    Print version\n"
)


@pytest.fixture
def term(fs):
    return PyTerm(fs)


def run(term, *lines):
    """Runs every line but the last for its effect and returns the last one's output."""
    for line in lines[:-1]:
        term.exec(line)
    return term.exec(lines[-1])


def fails(term, line, message):
    with pytest.raises(ValueError) as e:
        term.exec(line)
    assert e.value.args == (message,)


def populate(fs, *paths):
    """Creates each path in order: a directory when it ends in "/", a file otherwise."""
    for path in paths:
        if path.endswith("/"):
            fs.mkdir(path[:-1])
        else:
            fs.touch(path)


def write_file(fs, path, content):
    h = fs.open(path, "w")
    h.write(content)
    h.close()


class TestWordSplitting:
    # The splitting rules, unknown commands and help are tested in C++; here
    # what the binding carries: text in and out, and the error texts.
    @pytest.mark.parametrize(
        "line, output",
        [
            ("", ""),
            ("echo 'multi\nline'", "multi\nline"),
            ("echo \u00e9t\u00e9 \u2622", "\u00e9t\u00e9 \u2622"),
        ],
    )
    def test_outputs(self, term, line, output):
        assert term.exec(line) == output

    def test_malformed_line_runs_nothing(self, term, fs):
        fails(term, "mkdir d 'x", MALFORMED)
        assert fs.listdir("/") == ([], [])

    def test_unknown_command(self, term):
        fails(term, "'ls -l'", "ls -l: command not found")

    def test_command_must_be_text(self, term):
        with pytest.raises(TypeError):
            term.exec(b"ls")


class TestNavigation:
    def test_pwd_and_cd(self, term, fs):
        assert term.exec("pwd") == "/"
        assert run(term, "mkdir d", "cd d", "pwd") == "/d"
        assert fs.listdir("/") == ([], ["d"])
        assert run(term, "cd ..", "pwd") == "/"

    @pytest.mark.parametrize(
        "lines, cwd",
        [
            (["cd /"], "/"),
            (["cd .."], "/"),
            (["cd ."], "/"),
            (["cd a", "cd b", "pwd"], "/a/b"),
            (["cd a", "cd b", "cd /a"], "/a"),
            (["cd a", "cd b", "cd /"], "/"),
            (["cd a", "cd b", "cd .."], "/a"),
            (["cd a", "cd ''"], "/a"),
            (["cd a", "cd b", "cd /c"], "/c"),
            (["cd a", "pwd extra words"], "/a"),
        ],
    )
    def test_cd_targets(self, term, fs, lines, cwd):
        populate(fs, "/a/", "/a/b/", "/c/")
        run(term, *lines)
        assert term.exec("pwd") == cwd

    @pytest.mark.parametrize(
        "line, message",
        [
            ("cd", "cd: missing argument"),
            ("cd /nope", "cd: cannot access '/nope': nope: Inode not found"),
            ("cd nope", "cd: cannot access 'nope': nope: Inode not found"),
            ("cd b/c", "cd: cannot access 'b/c': b/c: Inode not found"),
            ("cd /a/b", "cd: cannot access '/a/b': a/b: Inode not found"),
            ("cd f", "cd: f: Not a directory"),
            ("cd /g", "cd: /g: Not a directory"),
        ],
    )
    def test_cd_failures_keep_the_directory(self, term, fs, line, message):
        populate(fs, "/a/", "/a/b/", "/a/b/c/", "/a/f", "/g")
        term.exec("cd a")
        fails(term, line, message)
        assert term.exec("pwd") == "/a"

    def test_absolute_path_from_elsewhere(self, term, fs):
        fs.mkdir("/top")
        fs.touch("/top/x")
        fs.mkdir("/deep")
        term.exec("cd deep")
        assert term.exec("ls /top") == "x\n"
        assert term.exec("ls /") == "top/\ndeep/\n"


class TestLs:
    def test_order_files_then_directories(self, term):
        assert run(term, "touch a", "mkdir d", "touch b", "ls") == "a\nb\nd/\n"

    @pytest.mark.parametrize("line", ["ls", "ls .", "ls /e", "ls ''"])
    def test_empty_directory(self, term, fs, line):
        fs.mkdir("/e")
        term.exec("cd e")
        assert term.exec(line) == ""

    def test_listing_the_parent(self, term, fs):
        fs.mkdir("/a")
        fs.touch("/z")
        term.exec("cd a")
        assert term.exec("ls ..") == "z\na/\n"

    @pytest.mark.parametrize(
        "line, message",
        [
            ("ls nope", "nope: Inode not found"),
            ("ls /nope/x", "nope/x: Inode not found"),
            ("ls d/inner", "d/inner: Inode not found"),
            ("ls f", "ls: 2: Not a directory"),
            ("ls /f", "ls: 2: Not a directory"),
        ],
    )
    def test_failures(self, term, fs, line, message):
        populate(fs, "/d/", "/f", "/d/inner")  # f is identifier 2
        fails(term, line, message)


class TestCat:
    @pytest.mark.parametrize(
        "content, text",
        [
            (b"", ""),
            (b"hi\n", "hi\n"),
            (b"no newline", "no newline"),
            ("\u00e9\u2622\n".encode(), "\u00e9\u2622\n"),
            (b"a\xffb", "a\ufffdb"),
            (b"\xc3(", "\ufffd("),
            (b"\xe2\x98", "\ufffd"),
            (b"x\x00y", "x\x00y"),
        ],
    )
    def test_contents(self, term, fs, content, text):
        write_file(fs, "/f", content)
        assert term.exec("cat f") == text

    def test_large_file(self, term, fs):
        data = b"0123456789abcdef" * 4096
        write_file(fs, "/big", data)
        assert term.exec("cat /big") == data.decode()

    @pytest.mark.parametrize(
        "line, message",
        [
            ("cat", "cat: missing argument"),
            ("cat d", "cat: d: Is a directory"),
            ("cat /", "cat: /: Is a directory"),
            ("cat ..", "cat: ..: Is a directory"),
            ("cat nope", "nope: Inode not found"),
            ("cat d/f", "d/f: Inode not found"),
        ],
    )
    def test_failures(self, term, fs, line, message):
        populate(fs, "/d/", "/d/f")
        fails(term, line, message)

    @pytest.mark.parametrize("mode", ["w", "rw"])
    def test_file_open_for_writing(self, term, fs, mode):
        h = fs.open("/f", mode)
        fails(term, "cat f", "cat: cannot access 'f': Resource is currently in use")
        h.close()
        assert term.exec("cat f") == ""

    def test_shares_with_readers_and_releases_its_lock(self, term, fs):
        write_file(fs, "/f", b"data")
        reader = fs.open("/f", "r")
        assert term.exec("cat f") == "data"
        reader.close()
        assert "FileLock { flag: 0 }" in str(fs)
        fs.open("/f", "w").close()
        fs.remove("/f", False)

    def test_sees_writes_made_through_a_handle(self, term, fs):
        h = fs.open("/f", "w")
        h.write(b"first")
        h.close()
        assert term.exec("cat f") == "first"
        write_file(fs, "/f", b"XY")
        assert term.exec("cat f") == "XYrst"


class TestCreate:
    @pytest.mark.parametrize("cmd, listing", [("mkdir", ([], ["n"])), ("touch", (["n"], []))])
    def test_creates_in_the_current_directory(self, term, fs, cmd, listing):
        fs.mkdir("/w")
        term.exec("cd w")
        assert term.exec(f"{cmd} n") == ""
        assert fs.listdir("/w") == listing

    @pytest.mark.parametrize("arg", ["/x", "'\\x'"])
    def test_leading_separator_means_the_root(self, term, fs, arg):
        fs.mkdir("/w")
        term.exec("cd w")
        term.exec(f"mkdir {arg}")
        assert fs.listdir("/") == ([], ["w", "x"])
        assert fs.listdir("/w") == ([], [])

    @pytest.mark.parametrize(
        "line, listing",
        [
            ("mkdir 'x\\y'", ([], ["y"])),
            ('mkdir "x\\y"', ([], ["y"])),
            ("mkdir x/y", ([], ["y"])),
            ("mkdir /x/y", ([], ["y"])),
            ("touch x/y", (["y"], [])),
            ("touch 'x\\y'", (["y"], [])),
        ],
    )
    def test_separator_inside_the_argument(self, term, fs, line, listing):
        fs.mkdir("/x")
        term.exec(line)
        assert fs.listdir("/x") == listing
        assert fs.listdir("/") == ([], ["x"])

    def test_unquoted_backslash_is_an_escape(self, term, fs):
        term.exec("mkdir x\\y")
        assert fs.listdir("/") == ([], ["xy"])

    @pytest.mark.parametrize(
        "line, message",
        [
            ("mkdir", "mkdir: missing argument"),
            ("touch", "touch: missing argument"),
            ("mkdir a", "mkdir: cannot create directory 'a': Resource already exists"),
            ("mkdir a/", "mkdir: cannot create directory 'a/': Resource already exists"),
            ("mkdir .", "mkdir: cannot create directory '.': Resource already exists"),
            ("mkdir ..", "mkdir: cannot create directory '..': Resource already exists"),
            ("mkdir f", "mkdir: cannot create directory 'f': Resource already exists"),
            ("touch f", "touch: cannot create file 'f': Resource already exists"),
            ("touch a", "touch: cannot create file 'a': Resource already exists"),
            ("touch a/", "touch: cannot create file 'a/': Resource already exists"),
            ("mkdir nope/y", "nope: Inode not found"),
            ("touch /nope/y", "nope: Inode not found"),
            ("mkdir a/b/c", "a/b: Inode not found"),
            ("mkdir f/x", "mkdir: 2: Not a directory"),
            ("touch f/x", "touch: 2: Not a directory"),
        ],
    )
    def test_failures_change_nothing(self, term, fs, line, message):
        populate(fs, "/a/", "/f", "/a/b/")  # f is identifier 2
        fails(term, line, message)
        assert fs.listdir("/") == (["f"], ["a"])
        assert fs.listdir("/a") == ([], ["b"])

    def test_only_the_first_word_is_used(self, term, fs):
        term.exec("touch one two")
        assert fs.listdir("/") == (["one"], [])

    def test_depth_limit(self, term, fs):
        path = ""
        for _ in range(64):
            path += "/d"
            fs.mkdir(path)
        for _ in range(64):
            term.exec("cd d")
        assert term.exec("pwd") == path
        fails(term, "mkdir x", "mkdir: cannot create directory 'x': Maximum filesystem depth exceeded")
        fails(term, "touch x", "touch: cannot create file 'x': Maximum filesystem depth exceeded")
        assert term.exec("ls") == ""


class TestRm:
    @pytest.fixture
    def populated(self, term, fs):
        populate(fs, "/f", "/d/", "/d/inner", "/e/")
        return term

    @pytest.mark.parametrize(
        "line, files, dirs",
        [
            ("rm f", [], ["d", "e"]),
            ("rm e", ["f"], ["d"]),
            ("rm -r d", ["f"], ["e"]),
            ("rm d -r", ["f"], ["e"]),
            ("rm --recursive d", ["f"], ["e"]),
            ("rm d --recursive", ["f"], ["e"]),
            ("rm -r f", [], ["d", "e"]),
            ("rm /f", [], ["d", "e"]),
            ("rm -- f", [], ["d", "e"]),
        ],
    )
    def test_removes(self, populated, fs, line, files, dirs):
        assert populated.exec(line) == ""
        assert fs.listdir("/") == (files, dirs)

    @pytest.mark.parametrize("name", ["-x", "--", "-r"])
    def test_double_dash_ends_options(self, term, fs, name):
        fs.touch("/" + name)
        assert term.exec(f"rm -- {name}") == ""
        assert fs.listdir("/") == ([], [])

    def test_lone_dash_is_an_operand(self, term, fs):
        fails(term, "rm -", "-: Inode not found")
        fs.touch("/-")
        term.exec("rm -")
        assert fs.listdir("/") == ([], [])

    @pytest.mark.parametrize(
        "line, message",
        [
            ("rm", "rm: missing argument"),
            ("rm nope", "nope: Inode not found"),
            ("rm d", "rm: cannot remove 'd': Directory is not empty"),
            ("rm /d", "rm: cannot remove '/d': Directory is not empty"),
            # The option parser's texts are tested in C++; one multi-line text
            # shows that it reaches the script whole.
            ("rm d --help", RM_HELP),
        ],
    )
    def test_failures_remove_nothing(self, populated, fs, line, message):
        fails(populated, line, message)
        assert fs.listdir("/") == (["f"], ["d", "e"])
        assert fs.listdir("/d") == (["inner"], [])

    def test_open_file_blocks_removal(self, term, fs):
        fs.mkdir("/d")
        for name in ("a", "b", "c"):
            fs.touch("/d/" + name)
        h = fs.open("/d/b", "r")
        fails(term, "rm -r d", "rm: cannot remove 'd': Resource is currently in use")
        assert fs.listdir("/d") == (["b", "c"], [])
        fails(term, "rm d/b", "d/b: Inode not found")
        term.exec("cd d")
        fails(term, "rm b", "rm: cannot remove 'b': Resource is currently in use")
        h.close()
        term.exec("rm b")
        assert fs.listdir("/d") == (["c"], [])


class TestSharing:
    def test_two_terminals_keep_their_own_directory(self, fs):
        one, two = PyTerm(fs), PyTerm(fs)
        one.exec("mkdir a")
        two.exec("mkdir b")
        one.exec("cd a")
        two.exec("cd b")
        assert (one.exec("pwd"), two.exec("pwd")) == ("/a", "/b")
        one.exec("touch from_one")
        assert two.exec("ls /a") == "from_one\n"
        assert fs.listdir("/b") == ([], [])

    def test_changes_are_visible_both_ways(self, term, fs):
        fs.mkdir("/via_fs")
        assert term.exec("ls") == "via_fs/\n"
        term.exec("touch via_term")
        assert fs.listdir("/") == (["via_term"], ["via_fs"])
        fs.remove("/via_term", False)
        fails(term, "cat via_term", "via_term: Inode not found")

    def test_stale_current_directory(self, term, fs):
        term.exec("mkdir d")  # identifier 1
        term.exec("cd d")
        fs.remove("/d", True)
        fails(term, "pwd", "pwd: cannot access '1': Inode not found")
        fails(term, "ls", "ls: cannot access '1': Inode not found")
        fails(term, "touch x", "touch: cannot access '1': Inode not found")
        fails(term, "cd .", "cd: cannot access '.': .: Inode not found")
        assert term.exec("echo still alive") == "still alive"
        term.exec("cd /")
        assert term.exec("pwd") == "/"

    def test_recreated_directory_does_not_revive_the_old_cwd(self, term, fs):
        term.exec("mkdir d")
        term.exec("cd d")
        fs.remove("/d", False)
        fs.mkdir("/d")
        fails(term, "pwd", "pwd: cannot access '1': Inode not found")

    def test_terminal_keeps_the_file_system_alive(self):
        fs = PyFs()
        term = PyTerm(fs)
        term.exec("mkdir kept")
        del fs
        assert term.exec("ls") == "kept/\n"
