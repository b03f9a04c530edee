"""Every reference taken on the way is released, on success and on failure."""

import gc
import sys

import numpy as np
import pandas as pd
import pytest

import dorvik
from conftest import FakeFrame

ROUNDS = 3000


def inputs():
    return [
        np.arange(12.0).reshape(3, 4),
        np.asfortranarray(np.ones((3, 2))),
        np.zeros(3),  # PanicException: not two-dimensional
        [1.0, 2.0],  # TypeError: unsupported
        pd.Series([1.0]),
        FakeFrame(columns=KeyError("x")),
        FakeFrame(columns=pd.Index([1.5])),
        FakeFrame(columns=["a", "b"], shape=(1, -1)),
        FakeFrame(columns=["a"], shape=(1, 1)),  # no values
    ]


def exercise(enc, objs):
    for obj in objs:
        for call in (enc.encode, enc.decode):
            try:
                call(obj)
            except BaseException:  # noqa: BLE001, S110
                pass
        for state in (b"\0" * 5, "x"):
            try:
                enc.__setstate__(state)
            except BaseException:  # noqa: BLE001, S110
                pass
        try:
            enc.__getstate__()
        except BaseException:  # noqa: BLE001, S110
            pass
    try:
        dorvik.Encoder("bad")
    except ValueError:
        pass


def test_no_reference_or_block_grows(capfd):
    enc = dorvik.Encoder()
    objs = inputs()
    exercise(enc, objs)  # warm-up: caches, interned names, imports
    gc.collect()
    counts = [sys.getrefcount(o) for o in objs]
    blocks = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        exercise(enc, objs)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == counts
    grown = sys.getallocatedblocks() - blocks
    # One block lost on any single path would leave ROUNDS blocks behind;
    # the interpreter's own caches account for a few hundred.
    assert grown < ROUNDS // 3, f"{grown} blocks left behind by {ROUNDS} rounds"
    capfd.readouterr()


@pytest.mark.parametrize("shared", [None, True, False, "label"])
def test_shared_objects_keep_their_count(shared):
    before = sys.getrefcount(shared)
    for _ in range(1000):
        dorvik.Encoder(None if shared is None else "label").encode(np.eye(2))
    assert sys.getrefcount(shared) == before
