"""Fuzz inputs for the Python API and the properties checked on them.

Shared by the atheris harness (fuzz_python.py) and the corpus replay in the
test suite, which runs without atheris: so bytes are turned into tables here
by a small reader of our own rather than by atheris' data provider.
"""

import math
import struct

import numpy as np
import pandas as pd

import dorvik

MARKERS = {"nan", "NaN", "<NA>"}
PREFIX = "failed to unpickle Brantock: "

TEXTS = ["nan", "NaN", "<NA>", "", "NAN", " nan", "None", "a", "B", "b", "é", "z",
         "😀", "\ud800", "a\udcffb", "10", "2", "1.0", "ﬁ", "日本"]
BIG_INTS = [2**53 + 1, 10**20, -(2**63), 10**400, -(10**400)]


def _panic_class():
    try:
        dorvik.Encoder().encode(np.zeros(3))  # a 1-D array panics
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("a 1-D array was accepted")


PanicException = _panic_class()
# What decode may say of a foreign fit that does not match its input.
DECODE_PANICS = ("no entry found for key", "ndarray: index out of bounds")


class Bytes:
    """Consumes bytes from the front; zeros once they run out."""

    def __init__(self, data: bytes):
        self.data = data
        self.at = 0

    def take(self, n):
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk + bytes(n - len(chunk))

    def byte(self):
        return self.take(1)[0]


def _cell(src: Bytes):
    kind = src.byte() % 10
    if kind == 0:
        return TEXTS[src.byte() % len(TEXTS)]
    if kind == 1:
        return "".join(chr(b & 0x7F) for b in src.take(src.byte() % 8))
    if kind == 2:  # any code point, lone surrogates included
        return "".join(chr(int.from_bytes(src.take(3), "little") % 0x110000)
                       for _ in range(src.byte() % 5))
    if kind == 3:
        return int.from_bytes(src.take(2), "little", signed=True)
    if kind == 4:  # any bit pattern: NaN payloads, infinities, subnormals
        return struct.unpack("<d", src.take(8))[0]
    if kind == 5:
        return bool(src.byte() & 1)
    if kind == 6:
        return None
    if kind == 7:
        return float("nan")
    if kind == 8:
        return BIG_INTS[src.byte() % len(BIG_INTS)]
    return pd.NA


def table_from_bytes(data: bytes):
    """Byte 0: rows (low 4 bits) and columns (high bits, mod 5); byte 1 bit 0:
    a DataFrame of object columns instead of an object ndarray; then the cells,
    row by row."""
    src = Bytes(data)
    shape = src.byte()
    rows, cols = shape & 0x0F, (shape >> 4) % 5
    as_frame = src.byte() & 1
    a = np.empty((rows, cols), dtype=object)
    for r in range(rows):
        for c in range(cols):
            a[r, c] = _cell(src)
    if as_frame:
        return pd.DataFrame({c: pd.Series(a[:, c], dtype=object) for c in range(cols)},
                            index=range(rows), columns=range(cols))
    return a


# ---- what encode should make of a table

def float_value(v):
    """What the interpreter's float conversion gives, or None where it fails."""
    if isinstance(v, str) or v is None or v is pd.NA:
        return None
    try:
        return float(v)
    except (TypeError, ValueError, OverflowError):
        return None


def number_text(x):
    """The text of a number read before its column turned to text."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return np.format_float_positional(x, unique=True, trim="-")


def cell_text(v):
    """The text of a cell read with str(), lone surrogates made U+FFFD."""
    return str(v).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def expected_column(cells):
    """("numbers", floats) while every cell converts to a float; otherwise
    ("texts", texts): number texts before the first other cell, str() after."""
    numbers = []
    for i, v in enumerate(cells):
        f = float_value(v)
        if f is None:
            return "texts", [number_text(x) for x in numbers] + [cell_text(w) for w in cells[i:]]
        numbers.append(f)
    return "numbers", numbers


def _utf8(t):
    return t.encode("utf-8")


def _same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def check_encode(table):
    """Encodes the table and checks codes, decoding, and the pickled fit."""
    is_frame = isinstance(table, pd.DataFrame)
    cells = table.to_numpy(dtype=object) if is_frame else table
    rows, cols = cells.shape
    enc = dorvik.Encoder()
    out = enc.encode(table)
    codes = out.to_numpy() if is_frame else out
    assert codes.shape == (rows, cols) and codes.dtype == np.float64
    if rows == 0 or cols == 0:
        return
    kinds = [expected_column(list(cells[:, c])) for c in range(cols)]
    decoded = enc.decode(out)
    decoded_cells = decoded.to_numpy(dtype=object) if is_frame else decoded
    for c, (kind, values) in enumerate(kinds):
        column = codes[:, c]
        if kind == "numbers":
            assert all(_same_float(x, y) for x, y in zip(column, values)), (c, column, values)
            assert all(_same_float(x, y) for x, y in zip(decoded_cells[:, c], values)), c
            continue
        # Dense codes in UTF-8 byte order; equal texts share one.
        ordered = sorted({t for t in values if t not in MARKERS}, key=_utf8)
        code = {t: i for i, t in enumerate(ordered)}
        for r, t in enumerate(values):
            if t in MARKERS:
                assert math.isnan(column[r]), (r, c, t)
                assert decoded_cells[r, c] == (None if is_frame else "NaN"), (r, c)
            else:
                assert column[r] == code[t], (r, c, t, column[r])
                assert decoded_cells[r, c] == t, (r, c, t, decoded_cells[r, c])
    # The fit survives its pickled form.
    state = enc.__getstate__()
    copy = dorvik.Encoder()
    copy.__setstate__(state)
    assert read_state(copy.__getstate__()) == read_state(state)
    again = copy.decode(out)
    again_cells = again.to_numpy(dtype=object) if is_frame else again
    assert [list(map(repr, r)) for r in again_cells] == [list(map(repr, r)) for r in decoded_cells]


# ---- the pickled state, read independently of the extension

class _Refused(Exception):
    pass


def read_state(data: bytes):
    """The fit in `data` as the extension should read it ({} maps, repeated
    keys keeping the later value; None when unfitted), or _Refused."""
    at = 0

    def take(fmt):
        nonlocal at
        n = struct.calcsize(fmt)
        if len(data) - at < n:
            raise _Refused("eof")
        (v,) = struct.unpack_from("<" + fmt, data, at)
        at += n
        return v

    def tag():
        t = take("B")
        if t > 1:
            raise _Refused("tag")
        return t == 1

    def text():
        nonlocal at
        n = take("Q")
        if len(data) - at < n:
            raise _Refused("text cut")
        raw = data[at:at + n]
        at += n
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise _Refused("utf8") from None

    fit = None
    if tag():
        cols = [take("Q") for _ in range(take("Q"))]
        forward = {}
        for _ in range(take("Q")):
            col = take("Q")
            d = forward[col] = {}
            for _ in range(take("Q")):
                t = text()
                d[t] = take("Q") if tag() else None
        reverse = {}
        for _ in range(take("Q")):
            col = take("Q")
            d = reverse[col] = {}
            for _ in range(take("Q")):
                code = take("Q")
                d[code] = text()
        fit = (cols, forward, reverse)
    if take("I") != 0:
        raise _Refused("strategy")
    return fit


SMALL = np.array([["b", 1.0], ["a", 2.0], ["nan", 3.0]], dtype=object)


def check_setstate(data: bytes):
    """__setstate__ on raw bytes: None or ValueError and nothing else, in
    agreement with read_state; the encoder stays usable either way."""
    enc = dorvik.Encoder()
    enc.encode(SMALL)
    before = enc.__getstate__()
    try:
        expected = read_state(data)
    except _Refused:
        expected = _Refused
    try:
        result = enc.__setstate__(data)
    except ValueError as exc:
        assert type(exc) is ValueError
        assert str(exc).startswith(PREFIX), str(exc)
        assert expected is _Refused, (data, str(exc))
        assert enc.__getstate__() == before
    else:
        assert result is None
        assert expected is not _Refused, data
        state = enc.__getstate__()
        assert read_state(state) == expected
        assert len(state) <= len(data)
        copy = dorvik.Encoder()
        copy.__setstate__(state)
        assert len(copy.__getstate__()) == len(state)
        assert read_state(copy.__getstate__()) == expected
        # A foreign fit need not match the input; decode then panics.
        try:
            decoded = enc.decode(np.array([[0.0, 1.0], [np.nan, 2.0]]))
        except PanicException as exc:
            assert str(exc) in DECODE_PANICS, str(exc)
        else:
            assert decoded.shape == (2, 2)
    out = enc.encode(SMALL)
    assert out[:, 0].tolist()[:2] == [1.0, 0.0]
    assert enc.decode(out)[:2, 0].tolist() == ["b", "a"]
