import ctypes
import os
import pathlib
import sys

import numpy as np
import pytest

import dorvik

# The fuzz checks double as the tests' plain model of what encode makes.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))

# The sanitizer run must not test an ordinary build by mistake.
SANITIZED = bool(os.environ.get("DORVIK_EXPECT_SANITIZED"))
if SANITIZED:
    assert "asan-site" in dorvik.__file__, dorvik.__file__


def pytest_sessionfinish(session):
    if SANITIZED:
        # Blocks nothing points to any more, while everything the interpreter
        # still holds is reachable; the report goes to the sanitizer's log.
        ctypes.CDLL(None).__lsan_do_recoverable_leak_check()


def _panic_class():
    # The class is not a module attribute; a 1-D array makes the encoder
    # raise it.
    try:
        dorvik.Encoder().encode(np.zeros(3))
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("a 1-D array was accepted")


PanicException = _panic_class()


@pytest.fixture
def enc():
    return dorvik.Encoder()


def fresh(exc):
    # Raising one instance again and again would grow its traceback.
    return type(exc)(*exc.args)


class FakeFrame:
    """An object whose type is named DataFrame: it takes the table path."""

    def __init__(self, columns=("a",), shape=(0, 1), values=None, on_columns=None):
        self._columns = columns
        self._shape = shape
        self._values = values
        self.on_columns = on_columns

    @property
    def columns(self):
        if self.on_columns is not None:
            self.on_columns()
        if isinstance(self._columns, BaseException):
            raise fresh(self._columns)
        return self._columns

    @property
    def shape(self):
        if isinstance(self._shape, BaseException):
            raise fresh(self._shape)
        return self._shape

    @property
    def values(self):
        if self._values is None:
            raise AttributeError("values")
        return self._values


FakeFrame.__name__ = "DataFrame"
