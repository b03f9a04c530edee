import numpy as np
import pytest

import dorvik
from conftest import FakeFrame, PanicException

NESTED = {
    "encode": lambda enc: enc.encode(np.eye(2)),
    "decode": lambda enc: enc.decode(np.eye(2)),
    "__getstate__": lambda enc: enc.__getstate__(),
    "__setstate__": lambda enc: enc.__setstate__(b"\0" * 5),
}


def run_nested(outer, nested):
    """Runs `nested` on the encoder from inside `outer`, returning what it raised."""
    enc = dorvik.Encoder()
    seen = []

    def callback():
        try:
            NESTED[nested](enc)
            seen.append(None)
        except Exception as exc:  # noqa: BLE001
            seen.append(exc)

    frame = FakeFrame(columns=["a"], shape=ValueError("stop here"), on_columns=callback)
    with pytest.raises(PanicException):
        getattr(enc, outer)(frame)
    assert len(seen) == 1
    return seen[0]


@pytest.mark.parametrize(
    "nested, message",
    [
        ("encode", "Already borrowed"),
        ("__setstate__", "Already borrowed"),
        ("decode", "Already mutably borrowed"),
        ("__getstate__", "Already mutably borrowed"),
    ],
)
def test_inside_encode_everything_conflicts(nested, message):
    exc = run_nested("encode", nested)
    assert type(exc) is RuntimeError and str(exc) == message


@pytest.mark.parametrize("nested", ["encode", "__setstate__"])
def test_inside_decode_writers_conflict(nested):
    exc = run_nested("decode", nested)
    assert type(exc) is RuntimeError and str(exc) == "Already borrowed"


@pytest.mark.parametrize("nested", ["decode", "__getstate__"])
def test_inside_decode_readers_proceed(nested):
    exc = run_nested("decode", nested)
    assert exc is None or "borrowed" not in str(exc)


def test_borrow_is_released_after_failures():
    enc = dorvik.Encoder()
    for bad in ([1], np.zeros(3), FakeFrame(columns=KeyError("x"))):
        with pytest.raises(BaseException):
            enc.encode(bad)
        with pytest.raises(BaseException):
            enc.decode(bad)
    assert np.array_equal(enc.encode(np.eye(2)), np.eye(2))
