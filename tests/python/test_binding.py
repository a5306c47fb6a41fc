"""The calling conventions every method shares: binding and conversion."""

import pytest

from ferrowick import PyFs, PyTerm, PyUserPool, Whence


@pytest.fixture
def handle(fs):
    return fs.open("/f", "rw")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index here")


BINDING_FAILURES = [
    # (callable factory, args, kwargs, message)
    ("mkdir", (), {}, "PyFs.mkdir() missing 1 required positional argument: 'path'"),
    ("open", (), {}, "PyFs.open() missing 2 required positional arguments: 'path' and 'mode'"),
    ("open", (), {"mode": "r"}, "PyFs.open() missing 1 required positional argument: 'path'"),
    ("mkdir", ("/a", "/b"), {}, "PyFs.mkdir() takes 1 positional arguments but 2 were given"),
    ("remove", ("/a", True, 1), {}, "PyFs.remove() takes 2 positional arguments but 3 were given"),
    ("remove", ("/a",), {}, "PyFs.remove() missing 1 required positional argument: 'recurse'"),
    ("tree", ("/", None, 1), {}, "PyFs.tree() takes from 1 to 2 positional arguments but 3 were given"),
    ("tree", (), {}, "PyFs.tree() missing 1 required positional argument: 'path'"),
    ("mkdir", ("/a",), {"path": "/b"}, "PyFs.mkdir() got multiple values for argument 'path'"),
    ("mkdir", (), {"name": "/a"}, "PyFs.mkdir() got an unexpected keyword argument 'name'"),
    ("open", ("/f",), {"path": "/g", "mode": "r"}, "PyFs.open() got multiple values for argument 'path'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_FAILURES)
def test_binding_failures(fs, method, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(fs, method)(*args, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "factory, message",
    [
        (lambda: PyFs(1), "PyFs.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: PyFs(x=1), "PyFs.__new__() got an unexpected keyword argument 'x'"),
        (lambda: PyTerm(), "PyTerm.__new__() missing 1 required positional argument: 'fs'"),
        (lambda: PyTerm(PyFs(), PyFs()), "PyTerm.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: PyUserPool(1, 2), "PyUserPool.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: PyTerm(fs=1), "argument 'fs': 'int' object cannot be converted to 'PyFs'"),
        (lambda: PyUserPool("3"), "argument 'user_count': 'str' object cannot be interpreted as an integer"),
        # The confinement switches are keyword-only and bool only (None too is refused).
        (lambda: PyUserPool(1, False), "PyUserPool.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: PyUserPool(network=0), "argument 'network': 'int' object cannot be converted to 'PyBool'"),
        (lambda: PyUserPool(private_tmp=None), "argument 'private_tmp': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: PyUserPool(host_processes="no"), "argument 'host_processes': 'str' object cannot be converted to 'PyBool'"),
        (lambda: PyUserPool(setuid_programs=1.0), "argument 'setuid_programs': 'float' object cannot be converted to 'PyBool'"),
        (lambda: PyUserPool(network=True, netwrk=False), "PyUserPool.__new__() got an unexpected keyword argument 'netwrk'"),
    ],
)
def test_constructor_binding(factory, message):
    with pytest.raises(TypeError) as e:
        factory()
    assert str(e.value) == message


def test_keywords_are_accepted(fs):
    fs.mkdir(path="/a")
    fs.remove(recurse=False, path="/a")
    assert fs.listdir(path="/") == ([], [])
    assert PyTerm(fs=fs).exec(command="pwd") == "/"


TEXT_KINDS = [
    (b"/a", "bytes"),
    (1, "int"),
    (None, "NoneType"),
    (bytearray(b"x"), "bytearray"),
]


@pytest.mark.parametrize("value, type_name", TEXT_KINDS)
def test_text_conversion(fs, value, type_name):
    with pytest.raises(TypeError) as e:
        fs.mkdir(value)
    assert str(e.value) == f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"


def test_text_without_utf8_encoding_raises_unicode_error(fs):
    with pytest.raises(UnicodeEncodeError):
        fs.mkdir("/\ud800")


def test_optional_text_accepts_none_and_rejects_other_types(fs):
    assert fs.tree("/", None) == fs.tree("/")
    with pytest.raises(TypeError) as e:
        fs.tree("/", 5)
    assert str(e.value) == "argument 'ident': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("value", ["text", bytearray(b"x"), memoryview(b"x"), 3])
def test_bytes_conversion(handle, value):
    with pytest.raises(TypeError) as e:
        handle.write(value)
    assert str(e.value) == f"argument 'buffer': '{type(value).__name__}' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize("value", [1, 0, None, "True", 1.0])
def test_flag_conversion(fs, value):
    fs.touch("/x")
    with pytest.raises(TypeError) as e:
        fs.remove("/x", value)
    assert str(e.value) == f"argument 'recurse': '{type(value).__name__}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize(
    "value, ok",
    [(0, True), (True, True), (Index(3), True), (2**64 - 1, True)],
)
def test_unsigned_word_accepts_index_values(handle, value, ok):
    handle.seek(value, Whence.SEEK_SET)
    assert handle.tell() == 0  # the file is empty: every seek clamps to 0


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (2**64 + 1, OverflowError, None),
        ("3", TypeError, "argument 'offset': 'str' object cannot be interpreted as an integer"),
        (1.5, TypeError, "argument 'offset': 'float' object cannot be interpreted as an integer"),
        (BadIndex(), ZeroDivisionError, "no index here"),
    ],
)
def test_unsigned_word_rejections(handle, value, exc, message):
    with pytest.raises(exc) as e:
        handle.seek(value, Whence.SEEK_SET)
    if message is not None:
        assert str(e.value) == message


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, None),
        (-1, OverflowError, None),
        ("1", TypeError, "argument 'user_count': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_unsigned_32_rejections(value, exc, message):
    with pytest.raises(exc) as e:
        PyUserPool(value)
    if message is not None:
        assert str(e.value) == message
    assert not isinstance(e.value, TypeError) or message.startswith("argument")


def test_unsigned_32_accepts_range_ends():
    PyUserPool(0)
    PyUserPool(2**32 - 1)
    PyUserPool(None)
    PyUserPool(user_count=Index(5))


def test_instance_conversion(handle):
    with pytest.raises(TypeError) as e:
        handle.seek(0, 0)
    assert str(e.value) == "argument 'whence': 'int' object cannot be converted to 'Whence'"


def test_first_failing_conversion_wins(handle):
    # offset fails before whence is looked at
    with pytest.raises(TypeError) as e:
        handle.seek("x", 0)
    assert "argument 'offset'" in str(e.value)


def test_unbound_call_with_foreign_object():
    with pytest.raises(TypeError):
        PyFs.mkdir(5, "/a")


def test_value_error_carries_one_str_argument(fs):
    with pytest.raises(ValueError) as e:
        fs.open("/f", "x")
    assert e.value.args == ("Unrecognized file mode",)
    assert type(e.value) is ValueError
