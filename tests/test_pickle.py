"""Pickled Encoder state: exact bytes, reader errors, duplicate keys, and the
pickle/copy round trips built on __getstate__/__setstate__."""

import copy
import pickle
import random
import struct
import time

import numpy as np
import pandas as pd
import pytest

import dorvik
from state import Fit, build, fit_of, parse

PREFIX = "failed to unpickle Brantock: "
EOF = "io error: unexpected end of file"
TEXT_CUT = "io error: "  # a string's text is shorter than its length says
UNFITTED = b"\0" * 5

EXAMPLE = Fit([0], {0: {"a": 0, "b": 1, "nan": None}}, {0: {0: "a", 1: "b"}})
# 151 bytes with the maps in the order written above. Offsets: tag 0,
# text_columns 1-16, forward map 17-88 (column 25, text count 33, "a" 41-58,
# "b" 59-76, "nan" 77-88), reverse map 89-146, strategy 147-150.
EXAMPLE_BYTES = build(EXAMPLE)

FRAME = pd.DataFrame({
    "word": ["café", "日本語", "😀", "", "nan", "zebra", "Äpfel", "café"],
    "num": [1.5, 2.0, -3.0, 0.0, 4.0, 5.0, 6.0, 7.0],
    "mixed": ["<NA>", "NaN", "ß", "ﬁ", "a b", "", "😀x", "ß"],
})


def q(n):
    return struct.pack("<Q", n)


def encoder_for(table):
    enc = dorvik.Encoder()
    enc.encode(table)
    return enc


@pytest.fixture
def fitted():
    return encoder_for(np.array([["b", "x"], ["a", "nan"], ["nan", "é"]], dtype=object))


def assert_refused(enc, data, text):
    before = fit_of(enc)
    with pytest.raises(ValueError) as info:
        enc.__setstate__(data)
    assert type(info.value) is ValueError
    assert str(info.value) == PREFIX + text
    assert fit_of(enc) == before


# --- exact bytes -----------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: dorvik.Encoder(),
    lambda: dorvik.Encoder(None),
    lambda: dorvik.Encoder("label"),
    lambda: dorvik.Encoder(encoding="label"),
], ids=["no-arg", "None", "label", "kw-label"])
def test_new_encoder_state_is_five_zero_bytes(make):
    assert make().__getstate__() == UNFITTED


def test_fit_without_text_columns_is_29_bytes(enc):
    enc.encode(np.empty((3, 0), dtype=object))
    assert enc.__getstate__() == b"\1" + bytes(24) + bytes(4)


def test_example_state(enc):
    enc.encode(np.array([["b"], ["a"], ["nan"]], dtype=object))
    state = enc.__getstate__()
    assert len(state) == 151
    assert parse(state) == EXAMPLE


# --- reader errors ---------------------------------------------------------

EOF_CUTS = {
    "presence-tag": 0, "column-count": 4, "column-index": 12,
    "forward-count": 20, "forward-column": 28, "text-count": 36,
    "string-length": 44, "code-tag": 50, "code": 55, "reverse-count": 93,
    "reverse-column": 100, "code-count": 110, "reverse-code": 116,
    "reverse-string-length": 125, "strategy": 149,
}

ERRORS = [pytest.param(EXAMPLE_BYTES[:cut], EOF, id=f"eof-{name}")
          for name, cut in EOF_CUTS.items()] + [
    pytest.param(b"\0\0\0", EOF, id="eof-unfitted-strategy"),
    pytest.param(EXAMPLE_BYTES[:49], TEXT_CUT, id="text-missing"),
    pytest.param(EXAMPLE_BYTES[:86], TEXT_CUT, id="text-half"),
    pytest.param(EXAMPLE_BYTES[:146], TEXT_CUT, id="last-text-missing"),
    pytest.param(EXAMPLE_BYTES[:41] + q(2**62) + EXAMPLE_BYTES[49:], TEXT_CUT,
                 id="text-length-huge"),
    pytest.param(b"\2\0\0\0\0", "tag for enum is not valid, found 2", id="presence-tag-2"),
    pytest.param(b"\xff" + EXAMPLE_BYTES[1:], "tag for enum is not valid, found 255",
                 id="presence-tag-255"),
    pytest.param(EXAMPLE_BYTES[:50] + b"\2" + EXAMPLE_BYTES[51:],
                 "tag for enum is not valid, found 2", id="code-tag-2"),
    pytest.param(EXAMPLE_BYTES[:88] + b"\x80" + EXAMPLE_BYTES[89:],
                 "tag for enum is not valid, found 128", id="code-tag-128"),
    pytest.param(b"\0\1\0\0\0", "invalid value: integer `1`, expected variant index 0 <= i < 1",
                 id="strategy-1"),
    pytest.param(b"\0\0\1\0\0", "invalid value: integer `256`, expected variant index 0 <= i < 1",
                 id="strategy-256"),
    pytest.param(EXAMPLE_BYTES[:-4] + b"\xff" * 4,
                 "invalid value: integer `4294967295`, expected variant index 0 <= i < 1",
                 id="strategy-max-after-fit"),
    pytest.param(build(Fit([0], {0: {"x": 0}}, {0: {0: b"ok\xff"}})),
                 "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 2",
                 id="utf8-in-reverse-text"),
]


@pytest.mark.parametrize("data, text", ERRORS)
def test_reader_error(fitted, data, text):
    assert_refused(fitted, data, text)


# Expected descriptions follow from the UTF-8 rules: the invalid part is the
# longest prefix of the bytes at the index that could still start a valid
# sequence (1 when the first byte is already wrong); a text that stops in the
# middle of such a prefix is incomplete.
UTF8 = [
    (b"\xff", 1, 0),
    (b"a\xe2\x28\xa1", 1, 1),
    (b"\xe2\x82\x28", 2, 0),
    (b"\xf0\x9f\x98\x28", 3, 0),
    (b"\xed\xa0\x80", 1, 0),        # encoded surrogate
    (b"\xc0\x80", 1, 0),            # overlong
    (b"ok\x80", 1, 2),              # lone continuation byte
    (b"\xf4\x90\x80\x80", 1, 0),    # beyond U+10FFFF
    (b"\xe0\x80", 1, 0),            # cut short, but could never be valid
    (b"ab\xe2\x82", None, 2),
    (b"\xf0\x9f\x98", None, 0),
    (b"xy\xc3", None, 2),
]


@pytest.mark.parametrize("raw, n, index", UTF8)
def test_invalid_utf8_text(fitted, raw, n, index):
    data = build(Fit([0], {0: [("fine", 0), (raw, 1)]}, {0: {0: "fine"}}))
    desc = (f"incomplete utf-8 byte sequence from index {index}" if n is None
            else f"invalid utf-8 sequence of {n} bytes from index {index}")
    assert_refused(fitted, data, "string is not valid utf8: " + desc)


@pytest.mark.parametrize("data", [
    b"\1" + q(2**60) + q(0) * 2,
    b"\1" + q(2**64 - 1) + q(0),
    b"\1" + q(0) + q(2**62) + q(0),
    b"\1" + q(0) + q(1) + q(0) + q(2**62) + q(1) + b"a",
    b"\1" + q(0) + q(0) + q(2**62) + q(5),
    b"\1" + q(0) + q(0) + q(1) + q(0) + q(2**62) + q(0),
], ids=["columns", "columns-max", "forward", "texts", "reverse", "codes"])
def test_huge_count_fails_on_missing_data(fitted, data):
    start = time.perf_counter()
    assert_refused(fitted, data, EOF)
    assert time.perf_counter() - start < 1.0


@pytest.mark.parametrize("state", ["\0\0\0\0\0", bytearray(5), memoryview(bytes(5)), None],
                         ids=["str", "bytearray", "memoryview", "None"])
def test_state_must_be_bytes(fitted, state):
    before = fit_of(fitted)
    with pytest.raises(TypeError, match="state"):
        fitted.__setstate__(state)
    assert fit_of(fitted) == before


class Blob(bytes):
    pass


@pytest.mark.parametrize("data, expected", [
    (UNFITTED, None),
    (UNFITTED + b"\xff" * 7, None),
    (UNFITTED + EXAMPLE_BYTES, None),
    (Blob(UNFITTED + b"\1"), None),
    (Blob(EXAMPLE_BYTES), EXAMPLE),
    (EXAMPLE_BYTES + b"\2junk", EXAMPLE),
], ids=["unfitted", "garbage", "state-after", "subclass", "subclass-fit", "fit-garbage"])
def test_accepted_state_replaces_fit(fitted, data, expected):
    assert fitted.__setstate__(data) is None
    assert fit_of(fitted) == expected
    if expected is None:
        assert fitted.__getstate__() == UNFITTED


def test_state_by_keyword(enc):
    assert enc.__setstate__(state=EXAMPLE_BYTES) is None
    assert fit_of(enc) == EXAMPLE


# --- what the reader stores ------------------------------------------------

@pytest.mark.parametrize("fit", [
    EXAMPLE,
    Fit([], {}, {}),
    # No consistency between the three fields is required.
    Fit([5, 2, 5], {7: {"q": 9, "": None}}, {}),
    Fit([2**64 - 1], {2**64 - 1: {"ü": 2**64 - 1}}, {2**64 - 1: {2**64 - 1: "日本", 3: ""}}),
], ids=["example", "empty", "inconsistent", "max-values"])
def test_reader_stores_state_as_read(enc, fit):
    enc.__setstate__(build(fit))
    state = enc.__getstate__()
    assert parse(state) == fit
    assert len(state) == len(build(fit))


# Repeated keys: the later value wins, at both levels of both maps.
DUPLICATES = [
    (Fit([0], [(0, {"a": 0}), (0, {"b": 0, "c": 1})], {0: {0: "b", 1: "c"}}),
     Fit([0], {0: {"b": 0, "c": 1}}, {0: {0: "b", 1: "c"}})),
    (Fit([0], {0: {"b": 0}}, [(0, {0: "a", 1: "z"}), (0, {0: "b"})]),
     Fit([0], {0: {"b": 0}}, {0: {0: "b"}})),
    (Fit([0], {0: [("a", 0), ("a", 5), ("nan", 1), ("nan", None)]}, {0: {0: "a"}}),
     Fit([0], {0: {"a": 5, "nan": None}}, {0: {0: "a"}})),
    (Fit([0], {0: {"x": 0}}, {0: [(0, "x"), (1, "z"), (0, "y")]}),
     Fit([0], {0: {"x": 0}}, {0: {0: "y", 1: "z"}})),
]


@pytest.mark.parametrize("given, expected", DUPLICATES,
                         ids=["forward-column", "reverse-column", "text", "code"])
def test_duplicate_key_keeps_later_value(enc, given, expected):
    enc.__setstate__(build(given))
    state = enc.__getstate__()
    assert parse(state) == expected
    assert len(state) == len(build(expected))  # written once, not twice
    codes = sorted(expected.code_to_text[0])
    decoded = enc.decode(np.array([[float(c)] for c in codes]))
    assert decoded.tolist() == [[expected.code_to_text[0][c]] for c in codes]


# --- round trips -----------------------------------------------------------

COPIES = [pytest.param(lambda e, p=p: pickle.loads(pickle.dumps(e, protocol=p)),
                       id=f"pickle-{p}")
          for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
COPIES += [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.parametrize("duplicate", COPIES)
@pytest.mark.parametrize("fit_frame", [True, False], ids=["fitted", "unfitted"])
def test_copy_and_pickle(duplicate, fit_frame):
    original = encoder_for(FRAME) if fit_frame else dorvik.Encoder()
    codes = dorvik.Encoder().encode(FRAME)
    restored = duplicate(original)
    assert type(restored) is dorvik.Encoder and restored is not original
    assert fit_of(restored) == fit_of(original)
    pd.testing.assert_frame_equal(restored.decode(codes), original.decode(codes))


TABLES = [
    FRAME,
    np.array([["x", 1.0, "b", "q"], ["y", 2.0, "a", "q"], ["x", 3.0, "nan", "r"]], dtype=object),
    np.array([["nan", 1.0], ["NaN", 2.0], ["<NA>", 3.0]], dtype=object),
    np.array([[1.0, "a"], ["x", "b"], [2.5, "a"]], dtype=object),
    np.array([[1.0, 2.0]], dtype=object),
]


@pytest.mark.parametrize("table", TABLES, ids=["frame", "mixed", "all-missing", "numbers-turned-text",
                                               "numeric"])
def test_state_round_trip(table):
    source = encoder_for(table)
    target = dorvik.Encoder()
    target.__setstate__(source.__getstate__())
    assert fit_of(target) == fit_of(source)
    assert fit_of(source) is not None


# --- fuzz ------------------------------------------------------------------

def _seed_states():
    states = [UNFITTED, EXAMPLE_BYTES, build(Fit([], {}, {}))]
    states += [encoder_for(t).__getstate__() for t in TABLES[:3]]
    return states


def _mutate(rng, seeds):
    data = bytearray(rng.choice(seeds))
    op = rng.randrange(6)
    if op == 0 and data:
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.randrange(256)
    elif op == 1:
        at = rng.randint(0, len(data))
        data[at:at] = rng.randbytes(rng.randint(1, 9))
    elif op == 2 and data:
        at = rng.randrange(len(data))
        del data[at:at + rng.randint(1, 9)]
    elif op == 3:
        return bytes(data[:rng.randrange(len(data))]), "truncated"
    elif op == 4:
        other = rng.choice(seeds)
        data = data[:rng.randint(0, len(data))] + other[rng.randint(0, len(other)):]
    elif op == 5:
        data = bytearray(rng.randbytes(rng.randint(0, 48)))
    return bytes(data), None


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_fuzzed_states(seed):
    rng = random.Random(seed)
    seeds = _seed_states()
    enc = encoder_for(FRAME)
    small = np.array([["a", 1.0], ["b", 2.0]], dtype=object)
    for i in range(500):
        data, kind = _mutate(rng, seeds)
        before = fit_of(enc)
        try:
            assert enc.__setstate__(data) is None, data
        except ValueError as exc:
            assert str(exc).startswith(PREFIX), data
            if kind == "truncated":
                assert str(exc) in (PREFIX + EOF, PREFIX + TEXT_CUT), data
            assert fit_of(enc) == before, data
        else:
            assert kind != "truncated", data
            fit = fit_of(enc)
            try:
                exact = parse(data)
            except (struct.error, AssertionError):  # trailing bytes
                pass
            else:
                assert fit == exact, data
        if i % 50 == 49:
            enc.encode(small)
    enc.encode(small)
    assert fit_of(enc) == Fit([0], {0: {"a": 0, "b": 1}}, {0: {0: "a", 1: "b"}})
