"""Every Python example of README.md runs, so the guide cannot drift from the module.

Each ```python block runs in a fresh interpreter; a block whose text contains
the line "# needs root..." is skipped where the pool cannot run. The shell
examples that feed ferrowick-shell a script are run too.
"""

import pathlib
import re
import subprocess
import sys

import pytest

from conftest import UNDER_ASAN, pool_tools_missing

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```", re.M | re.S)
NEEDS_ROOT = re.compile(r"^# needs root\b", re.M)


def blocks(language):
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(2)) for m in BLOCK.finditer(text) if m.group(1) == language]


PYTHON_BLOCKS = blocks("python")


def block_id(block):
    line, code = block
    return f"line{line}"


def test_the_guide_has_examples_for_every_facility():
    code = "\n".join(c for _, c in PYTHON_BLOCKS)
    for used in ("PyFs()", "fs.open(", "Whence.", "PyTerm(", "PyUserPool(", ".allocate()", ".spawn()"):
        assert used in code
    # The pool example is marked, so that it is skipped (not failed) without root.
    assert any(NEEDS_ROOT.search(c) and "PyUserPool(" in c for _, c in PYTHON_BLOCKS)


@pytest.mark.parametrize("block", PYTHON_BLOCKS, ids=block_id)
def test_python_example_runs(block, tmp_path):
    line, code = block
    if NEEDS_ROOT.search(code) and pool_tools_missing():
        pytest.skip(f"README line {line}: {pool_tools_missing()}")
    if UNDER_ASAN and '"as":' in code:
        pytest.skip(f"README line {line}: an address-space limit under AddressSanitizer")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"README line {line} failed:\n{done.stderr}"


def piped_scripts():
    """(line, script, command) for each `printf '...' | [sudo] COMMAND` in a sh block."""
    found = []
    for line, code in blocks("sh"):
        for m in re.finditer(r"^printf '([^']*)' \| (?:sudo )?(make demo|ferrowick-shell --host)$", code, re.M):
            found.append((line, m.group(1).encode().decode("unicode_escape"), m.group(2)))
    return found


@pytest.mark.parametrize("line, script, command", piped_scripts())
def test_piped_shell_example_runs(line, script, command):
    args = [sys.executable, "-m", "ferrowick_shell"]
    if command.endswith("--host"):
        if pool_tools_missing():
            pytest.skip(str(pool_tools_missing()))
        args.append("--host")
    done = subprocess.run(args, input=script, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), f"README line {line}"
    assert done.stdout


def test_both_piped_examples_are_found():
    assert sorted(cmd for _, _, cmd in piped_scripts()) == ["ferrowick-shell --host", "make demo"]
