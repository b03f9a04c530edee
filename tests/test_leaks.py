"""Every reference and every block taken on the way is released, on success
and on each failure path, however often a call is repeated."""

import gc
import sys

import numpy as np
import pandas as pd
import pytest

import dorvik
from conftest import FakeFrame, PanicException
from state import Fit, build
from test_borrow import NESTED, run_nested
from test_decode import FAILURES, failure_inputs, fitted, plain
from test_pickle import ERRORS, UTF8

ROUNDS = 2000


def label(text):
    # Built at run time: literals are interned and immortal, and their count
    # would never move.
    return "".join(list(text))


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class BadFloat:
    """Converts to a float by raising: the cell turns its column to text."""

    def __float__(self):
        raise ArithmeticError("no number")

    def __str__(self):
        return "bad float"


CELL = label("cell text")
LABELS = [label("first"), label("second")]
TEXTS = np.array([[CELL, 1.5], ["é", None], [pd.NA, "nan"], [BadFloat(), 2]], dtype=object)
FIT_ENCODER = dorvik.Encoder()
FIT_ENCODER.encode(TEXTS)
GOOD_STATE = FIT_ENCODER.__getstate__()
BAD_UTF8 = [build(Fit([0], {0: [("fine", 0), (raw, 1)]}, {0: {0: "fine"}})) for raw, _, _ in UTF8]


def encode_inputs():
    return [
        np.arange(12.0).reshape(3, 4),
        np.asfortranarray(np.ones((3, 2))),
        TEXTS,
        FakeFrame(columns=LABELS, shape=(4, 2), values=TEXTS[:, :2].copy()),
        np.zeros(3),                                            # not two-dimensional
        [1.0, 2.0],                                             # unsupported type
        pd.Series([1.0]),
        np.array([["a", BadStr()]], dtype=object),              # raising str, text column
        np.array([[1.0], [BadStr()]], dtype=object),            # raising str at the switch
        FakeFrame(columns=KeyError("x")),                       # raising columns
        FakeFrame(columns=pd.Index([1.5])),                     # a label that is no text
        FakeFrame(columns=LABELS, shape=(1, -1)),                 # bad shape
        FakeFrame(columns=LABELS, shape=ValueError("shape")),   # raising shape
        FakeFrame(columns=LABELS[:1], shape=(1, 1)),            # no values
    ]


def decode_jobs():
    good = fitted([0, 1], {0: {0: "α", 1: "b"}, 1: {}})
    jobs = [(good, obj) for obj in failure_inputs((3, 3), None)]
    jobs += [(fitted(c, d), obj) for c, d, shape, only, _ in FAILURES.values()
             for obj in failure_inputs(shape, only)]
    jobs += [(good, [[1.0]]), (good, np.zeros(2))]
    return [(enc, plain(obj)) for enc, obj in jobs]


STATES = [GOOD_STATE, b"\0" * 5, "x", None] + [p.values[0] for p in ERRORS] + BAD_UTF8


def swallow(call, *args):
    try:
        call(*args)
    except (PanicException, Exception):  # noqa: BLE001, S110
        pass


def run_encode(enc, objs):
    for obj in objs:
        swallow(enc.encode, obj)


def run_decode(_, jobs):
    for dec, obj in jobs:
        swallow(dec.decode, obj)


def run_pickle(enc, states):
    for state in states:
        swallow(enc.__setstate__, state)
        swallow(enc.__getstate__)
    swallow(dorvik.Encoder, "bad")
    swallow(dorvik.Encoder, label("label"))


def run_borrow(_, pairs):
    for outer, nested in pairs:
        run_nested(outer, nested)


SCENARIOS = {
    "encode": (run_encode, encode_inputs),
    "decode": (run_decode, decode_jobs),
    "pickle": (run_pickle, lambda: STATES),
    "borrow": (run_borrow, lambda: [(o, n) for o in ("encode", "decode") for n in NESTED]),
}


def counts(objs):
    tracked = list(objs) + [CELL, *LABELS, None, GOOD_STATE]
    return [sys.getrefcount(o) for o in tracked]


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_references_and_blocks_settle(scenario, capfd):
    run, make = SCENARIOS[scenario]
    enc, objs = dorvik.Encoder(), make()
    for _ in range(ROUNDS // 10):  # warm-up: imports, caches, free lists
        run(enc, objs)
    gc.collect()
    before, blocks = counts(objs), sys.getallocatedblocks()
    rounds = ROUNDS // 10 if scenario == "borrow" else ROUNDS  # pytest.raises is slow
    for _ in range(rounds):
        run(enc, objs)
    gc.collect()
    assert counts(objs) == before
    grown = sys.getallocatedblocks() - blocks
    # A block lost on any one path would leave `rounds` blocks behind; the
    # interpreter's own caches account for a few hundred at most.
    assert grown < rounds // 3, f"{grown} blocks left behind by {rounds} rounds"
    capfd.readouterr()  # the dispatch line of unsupported types


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_memory_settles_over_large_calls():
    # Each round makes dictionaries of tens of thousands of texts: memory the
    # extension allocates itself, which the block count does not see.
    rng = np.random.default_rng(5)
    words = np.array([f"w{i:06d}é" for i in range(30_000)], dtype=object)
    table = words[rng.integers(0, len(words), size=(40_000, 3))]
    frame = pd.DataFrame(table, columns=["a", "b", "c"], dtype=object)
    enc = dorvik.Encoder()

    def round_trip():
        for obj in (table, frame):
            enc.decode(enc.encode(obj))
        enc.__setstate__(enc.__getstate__())

    for _ in range(5):
        round_trip()
    gc.collect()
    start = rss_bytes()
    for _ in range(40):
        round_trip()
    gc.collect()
    grown = rss_bytes() - start
    # Leaking one call's dictionaries would be about 2 MB per round.
    assert grown < 16 * 2**20, f"RSS grew by {grown / 2**20:.1f} MB over 40 rounds"
