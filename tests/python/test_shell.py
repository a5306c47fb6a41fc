"""ferrowick-shell run as a child process: piped scripts, script files, exit status."""

import subprocess
import sys

import pytest

from conftest import needs_pool

SHELL = [sys.executable, "-m", "ferrowick_shell"]


def shell(stdin_text="", *args):
    return subprocess.run(SHELL + list(args), input=stdin_text, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "script, stdout, stderr, status",
    [
        ("mkdir a\ncd a\ntouch f\nls\npwd\n", "f\n/a\n", "", 0),
        ("", "", "", 0),
        ("mkdir a\ncd a\n\n# only a comment\n", "", "", 0),
        ("echo one\nexit\necho two\n", "one\n", "", 0),
        ("echo one\n  exit  \nls nope\n", "one\n", "", 0),
        ("ls nope\necho after\n", "after\n", "line 1: nope: Inode not found\n", 1),
        ("echo before\nfoo\nexit\nfoo\n", "before\n", "line 2: foo: command not found\n", 1),
        ('echo "open\n', "", "line 1: The command was not correctly formatted\n", 1),
        ("echo no newline at the end", "no newline at the end\n", "", 0),
        ("rm -V\n", "", "line 1: rm: ferrowick 0.1.3\n", 1),
        ("mkdir d\ntouch d/x\nrm d\nls d\n", "x\n", "line 3: rm: cannot remove 'd': Directory is not empty\n", 1),
    ],
)
def test_piped_scripts(script, stdout, stderr, status):
    out = shell(script)
    assert (out.stdout, out.stderr, out.returncode) == (stdout, stderr, status)


def test_outputs_ending_in_a_newline_are_not_doubled():
    out = shell("touch a\ntouch b\nls\nhelp\n")
    lines = out.stdout.split("\n")
    assert lines[:2] == ["a", "b"]
    assert sorted(lines[2:-1]) == sorted(["cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"])
    assert out.returncode == 0


def test_script_file_argument(tmp_path):
    script = tmp_path / "setup.fw"
    script.write_text("mkdir a\ncd a\ntouch f\nls\npwd\nexit\necho never\n")
    out = subprocess.run(SHELL + [str(script)], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=60)
    assert (out.stdout, out.stderr, out.returncode) == ("f\n/a\n", "", 0)


def test_script_file_with_a_failure(tmp_path):
    script = tmp_path / "bad.fw"
    script.write_text("cat nothing\necho done\n")
    out = shell("echo from stdin is ignored\n", str(script))
    assert (out.stdout, out.stderr, out.returncode) == ("done\n", "line 1: nothing: Inode not found\n", 1)


def test_windows_line_ends(tmp_path):
    script = tmp_path / "crlf.fw"
    script.write_bytes(b"mkdir a\r\ncd a\r\npwd\r\nnosuch\r\n\r\nexit\r\necho never\r\n")
    for out in (shell("", str(script)), subprocess.run(SHELL, input=script.read_bytes(), capture_output=True,
                                                          timeout=60)):
        stdout, stderr = (o if isinstance(o, str) else o.decode() for o in (out.stdout, out.stderr))
        assert (stdout, stderr, out.returncode) == ("/a\n", "line 4: nosuch: command not found\n", 1)


UNREADABLE = {
    "missing": (None, "cannot read {path}: No such file or directory"),
    "a directory": ("dir", "cannot read {path}: Is a directory"),
    "not UTF-8": (b"echo ok\r\necho \xff\n", "{path}: line 2: not UTF-8 (byte 0xff)"),
}


def unreadable_script(tmp_path, kind):
    content, message = UNREADABLE[kind]
    path = tmp_path / "script.fw"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    return str(path), f"ferrowick-shell: {message.format(path=path)}\n"


@pytest.mark.parametrize("kind", UNREADABLE)
def test_an_unreadable_script_is_one_line_and_status_2(kind, tmp_path):
    path, message = unreadable_script(tmp_path, kind)
    out = shell("echo from stdin\n", path)
    assert (out.stdout, out.stderr, out.returncode) == ("", message, 2)


@needs_pool
@pytest.mark.parametrize("kind", UNREADABLE)
def test_an_unreadable_script_for_the_host_is_refused_before_an_account_is_made(kind, tmp_path):
    path, message = unreadable_script(tmp_path, kind)
    out = shell("", "--host", path)
    assert (out.stdout, out.stderr, out.returncode) == ("", message, 2)


def test_input_that_is_not_utf8_stops_where_it_stands():
    out = subprocess.run(SHELL, input=b"echo one\nnosuch\necho \xff\necho never\n", capture_output=True,
                         timeout=60)
    assert (out.stdout, out.stderr, out.returncode) == (
        b"one\n", b"line 2: nosuch: command not found\nferrowick-shell: standard input: line 3: not UTF-8 (byte 0xff)\n", 2)
