"""ferrowick-shell run as a child process: piped scripts, script files, exit status."""

import subprocess
import sys

import pytest

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
        ("ls nope\necho after\n", "after\n", "nope: Inode not found\n", 1),
        ("echo before\nfoo\nexit\nfoo\n", "before\n", "foo: command not found\n", 1),
        ('echo "open\n', "", "The command was not correctly formatted\n", 1),
        ("echo no newline at the end", "no newline at the end\n", "", 0),
        ("rm -V\n", "", "rm: ferrowick 0.1.3\n", 1),
        ("mkdir d\ntouch d/x\nrm d\nls d\n", "x\n", "rm: cannot remove 'd': Directory is not empty\n", 1),
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
    assert (out.stdout, out.stderr, out.returncode) == ("done\n", "nothing: Inode not found\n", 1)


def test_missing_script_file_fails(tmp_path):
    out = shell("", str(tmp_path / "absent.fw"))
    assert out.returncode != 0
    assert out.stdout == ""
    assert "absent.fw" in out.stderr
