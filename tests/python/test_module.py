"""What a script sees of the module itself: registration, classes, panics."""

import ctypes
import importlib.metadata
import importlib.util
import os
import subprocess
import sys

import pytest

import ferrowick

CLASSES = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession", "PyProcess"]
NO_CONSTRUCTOR = ["PyFileHandle", "Whence", "PyUser", "PyTerminalSession", "PyProcess"]


def test_module_attributes():
    assert ferrowick.__all__ == CLASSES
    assert ferrowick.__doc__ == ""
    assert ferrowick.__version__ == importlib.metadata.version("ferrowick")
    for name in CLASSES:
        cls = getattr(ferrowick, name)
        assert cls.__name__ == name


def test_second_initialisation_returns_the_same_module():
    lib = ctypes.PyDLL(ferrowick.__file__)
    lib.PyInit_ferrowick.restype = ctypes.py_object
    assert lib.PyInit_ferrowick() is ferrowick
    # The same through the import system, bypassing sys.modules.
    spec = importlib.util.spec_from_file_location("ferrowick", ferrowick.__file__)
    assert importlib.util.module_from_spec(spec) is ferrowick


SUBINTERPRETER_IMPORT = """
try:
    import ferrowick
    result = "imported"
except ImportError as e:
    result = "ImportError: " + str(e)
with open({path!r}, "w") as f:
    f.write(result)
"""


def test_a_second_interpreter_cannot_import(tmp_path):
    # A legacy sub-interpreter would otherwise share this one's type objects.
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result"
    assert testcapi.run_in_subinterp(SUBINTERPRETER_IMPORT.format(path=str(out))) == 0
    assert out.read_text() == "ImportError: ferrowick does not support sub-interpreters"


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as e:
        getattr(ferrowick, name)()
    assert str(e.value) == "No constructor defined"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_and_slotless(name):
    cls = getattr(ferrowick, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert not (cls.__flags__ & (1 << 14))  # no cyclic GC
    with pytest.raises(TypeError):
        cls.new_attribute = 1


def test_instances_have_no_dict_and_no_weakrefs(fs):
    import weakref

    with pytest.raises(AttributeError):
        fs.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(fs)


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        ("PyFs", "()", None),
        ("PyTerm", "(fs)", "\nA structure representing a simple terminal\n"),
        ("PyUserPool", "(user_count=None, *, network=True, private_tmp=False, host_processes=True, setuid_programs=True)", None),
        ("Whence", None, "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"),
    ],
)
def test_class_signatures_and_docs(cls, signature, doc):
    c = getattr(ferrowick, cls)
    assert c.__text_signature__ == signature
    if doc is not None:
        assert c.__doc__ == doc


def test_pyfs_doc_shape():
    doc = ferrowick.PyFs.__doc__
    assert doc.startswith("\n")
    assert doc.endswith(
        "\n\nThis class is a simple wrapper around the FileSystem struct. It defines\nthe basis for a small "
        "filesystem that can be used in Python. The filesystem\ncan handle files, nested directories and "
        "symlinks.\n\nThe filesystem is thread-safe and can be shared between multiple threads.\n"
    )


@pytest.mark.parametrize(
    "method, signature",
    [
        (ferrowick.PyFs.mkdir, "($self, path)"),
        (ferrowick.PyFs.open, "($self, path, mode)"),
        (ferrowick.PyFs.remove, "(recurse=False)"),
        (ferrowick.PyFs.tree, "($self, path, ident=None)"),
        (ferrowick.PyFileHandle.seek, "($self, offset, whence)"),
        (ferrowick.PyTerm.exec, "($self, command)"),
        (ferrowick.PyTerminalSession.read, "($self, buffer=None, timeout=None)"),
        (ferrowick.PyUser.spawn, "($self, env=None, limits=None)"),
    ],
)
def test_method_text_signatures(method, signature):
    assert method.__text_signature__ == signature


PANIC_SCRIPT = r"""
import os, ferrowick
os.environ["PATH"] = "/nonexistent"
pool = ferrowick.PyUserPool(1)
for attempt in range(2):
    try:
        try:
            pool.allocate()
        except Exception as e:
            print("caught by Exception:", type(e).__name__)
    except BaseException as e:
        print(type(e).__name__, type(e).__mro__[1].__name__, str(e))
"""


def test_internal_assertion_failure_is_a_base_exception_and_poisons_the_pool():
    # Without `id` on the search path the pool cannot look accounts up: an
    # internal assertion failure, raised while the pool lock is held.
    out = subprocess.run([sys.executable, "-c", PANIC_SCRIPT], capture_output=True, text=True, timeout=60)
    lines = out.stdout.splitlines()
    assert lines[0] == "PanicException BaseException Failed to execute the command `id`"
    assert lines[1] == "PanicException BaseException \u2622\ufe0f Poisoned lock"
