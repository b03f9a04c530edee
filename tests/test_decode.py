"""decode: codes back to texts, in an object ndarray or a DataFrame."""

import gc
import math
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from numpy._core.multiarray import get_handler_name

import dorvik
from conftest import SANITIZED, FakeFrame, PanicException
from state import Fit, build, fit_of

TOP = 18446744073709549568  # largest double below 2**64
MAX = 2**64 - 1
OOB = "ndarray: index out of bounds"
NO_KEY = "no entry found for key"


def fitted(text_columns, code_to_text):
    enc = dorvik.Encoder()
    enc.__setstate__(build(Fit(text_columns, {}, code_to_text)))
    return enc


def frame(m, labels=None, index=None):
    m = np.asarray(m, dtype=np.float64)
    labels = list(labels) if labels is not None else [f"c{i}" for i in range(m.shape[1])]
    return pd.DataFrame(m, columns=labels, index=index)


# --- what decode must produce, done the slow way, one Python call per cell ---

def key(x):
    if x < 0:
        return 0
    return MAX if x > TOP else int(x)


def cell(x, d, missing):
    return missing if math.isnan(x) else d.get(key(x), missing)


def reference(m, fit, labels=None):
    m = np.asarray(m, dtype=np.float64)
    rows = m.shape[0]
    if labels is None:
        o = np.array(m).astype("object")
        for c in fit.text_columns:
            d = fit.code_to_text[c]
            for r in range(rows):
                o[(r, c)] = cell(m[r, c], d, "NaN")
        return o
    df = pd.DataFrame(np.array(m), columns=list(labels))
    for c in fit.text_columns:
        d = fit.code_to_text[c]
        values = [cell(m[r, c], d, None) for r in range(rows)]
        name = labels[c]
        df[name] = df[name].astype("object")
        df.loc[:, name] = values
    return df


def same(a, b):
    return type(a) is type(b) and (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)))


def assert_same(got, want):
    assert type(got) is type(want)
    assert got.shape == want.shape
    if isinstance(want, np.ndarray):
        assert got.dtype == want.dtype
        for ix in np.ndindex(want.shape):
            assert same(got[ix], want[ix]), (ix, got[ix], want[ix])
        return
    assert list(got.columns) == list(want.columns)
    assert list(got.dtypes) == list(want.dtypes)
    assert type(got.index) is pd.RangeIndex and got.index.equals(want.index)
    for r, c in np.ndindex(want.shape):
        assert same(got.iat[r, c], want.iat[r, c]), (r, c, got.iat[r, c], want.iat[r, c])


def layouts(m):
    """m in C order, in Fortran order, as a strided view and misaligned."""
    yield m.copy()
    yield np.asfortranarray(m)
    spaced = np.zeros((2 * m.shape[0], 2 * m.shape[1]))
    spaced[::2, ::2] = m
    yield spaced[::2, ::2]
    shifted = np.zeros(m.size * 8 + 1, np.uint8)[1:].view(np.float64).reshape(m.shape)
    shifted[...] = m
    assert m.size == 0 or not shifted.flags.aligned
    yield shifted


def frame_layouts(m, labels, index):
    """Frames of m: columns strided through one block, side by side in one
    block (read where they lie), and the last one in a block of its own."""
    yield frame(m, labels, index)
    yield frame(np.asfortranarray(m), labels, index)
    if m.shape[1] > 1:
        apart = frame(np.asfortranarray(m), labels, index)
        apart.isetitem(m.shape[1] - 1, m[::-1, -1].copy())  # the block keeps the old cells
        yield apart


def decode_both(enc, m, labels=None, index=None):
    """(result, expected) for array input in every layout and for frame input of matrix m."""
    fit = fit_of(enc)
    m = np.asarray(m, dtype=np.float64)
    want = reference(m, fit)
    pairs = [(enc.decode(a), want) for a in layouts(m)]
    for df in frame_layouts(m, labels, index):
        kept = df.copy()
        pairs.append((enc.decode(df), reference(df.to_numpy(dtype=np.float64), fit, list(df.columns))))
        pd.testing.assert_frame_equal(df, kept)  # the input is left as it was
    return pairs


# --- round trips through encode ---

ROWS = [
    ["é", "nan", 1, 1],
    ["日本", "<NA>", "x", 2.5],
    ["🙂", "NaN", 2.5, True],
    ["", "nan", "x", -4],
    ["é", "<NA>", 3, 0],
]
TEXTS = [["é", "日本", "🙂", "", "é"], [None] * 5, ["1", "x", "2.5", "x", "3"]]
NUMBERS = [1.0, 2.5, 1.0, -4.0, 0.0]


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_round_trip_gives_back_texts(enc, kind):
    x = np.array(ROWS, dtype=object)
    if kind == "frame":
        x = pd.DataFrame(x, columns=["t", "gone", "mixed", "n"], index=[7, 8, 9, 10, 11])
    out = enc.decode(enc.encode(x))
    assert fit_of(enc).text_columns == [0, 1, 2]
    missing = "NaN" if kind == "array" else None
    want = [[missing if t is None else t for t in col] for col in TEXTS] + [NUMBERS]
    if kind == "array":
        assert out.dtype == object and out.shape == (5, 4)
        got = [list(out[:, c]) for c in range(4)]
    else:
        assert list(out.columns) == ["t", "gone", "mixed", "n"]
        assert list(out.dtypes) == [object, object, object, np.float64]
        assert type(out.index) is pd.RangeIndex and list(out.index) == list(range(5))
        got = [out.iloc[:, c].tolist() for c in range(4)]
    assert got == want
    assert [[type(v) for v in col] for col in got] == [[type(v) for v in col] for col in want]


# Each width a str can take, at both ends of the characters it covers, alone
# and after narrower characters; NUL among them. A str made wider than its
# characters need would not compare equal.
WIDE_TEXTS = ["\x80", "ÿ", "aÿ", "Ā", "é\u07ff", "\u0800", "a\uffff", "\U00010000", "é日\U0010ffff", "x\x00ü"]


@pytest.mark.parametrize("text", WIDE_TEXTS)
def test_non_ascii_texts_decode_to_equal_strs(text):
    enc = dorvik.Encoder()
    x = np.array([[text], ["plain"], [text]], dtype=object)
    codes = enc.encode(x)
    assert enc.decode(codes)[:, 0].tolist() == [text, "plain", text]
    restored = pickle.loads(pickle.dumps(enc))  # texts read back from bytes
    assert restored.decode(codes)[:, 0].tolist() == [text, "plain", text]


def test_frame_of_str_columns_round_trips(enc):
    df = pd.DataFrame({"a": [None, "ü", "ü"], "b": ["<NA>", "z", ""], "n": [1, 2, 3]})
    out = enc.decode(enc.encode(df))
    assert out["a"].tolist() == [None, "ü", "ü"] and out["b"].tolist() == [None, "z", ""]
    assert out["n"].dtype == np.float64 and out["n"].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("markers", [[], ["NaN"], ["<NA>", "NaN", "nan"]])
def test_every_code_of_a_fit_decodes_to_its_text(markers):
    # Each marker sorts among the texts and takes no code: the codes after it
    # belong to the texts after it, in a fit that encode made and in one read
    # back from its pickled form.
    texts = ["", "<", "<NA", "<NB", "N", "NaM", "NaNa", "Nb", "n", "nam", "nana", "nb", "é", "日本"]
    column = texts + markers + texts[::-1]
    enc = dorvik.Encoder()
    enc.encode(np.array(column, dtype=object)[:, None])
    codes = np.arange(len(texts) + 2, dtype=float)[:, None] - 1  # -1 reads as 0, and one past the end
    want = ["", *texts, "NaN"]
    again = dorvik.Encoder()
    again.__setstate__(enc.__getstate__())
    for e in (enc, again):
        assert e.decode(codes)[:, 0].tolist() == want
    assert fit_of(again) == fit_of(enc)


# --- agreement with the per-cell algorithm ---

WEIRD = {0: {0: "a", 2: "c", 7: "h"}, 2: {}, 3: {1: "ı", 5: "f"}}
CASES = {
    "fresh fit": lambda: (np.array(ROWS, dtype=object), None),
    "sparse codes": lambda: (
        [[0, 1, 2, 5], [2, -1, np.nan, 1.9], [7, 0.5, 3, 8], [3, 9e9, -np.inf, np.inf]],
        Fit([3, 0, 2], {}, WEIRD),
    ),
    "more columns than fit": lambda: ([[0, 1.5, 2], [1, -2, 3]], Fit([0], {}, {0: {0: "p", 1: "q"}})),
    "no text columns": lambda: ([[0, 1.5], [np.nan, 2]], Fit([], {}, {})),
    # A frame result gets its numbers copied column by column around the texts.
    "numbers first and last": lambda: (
        [[-0.0, 0, np.inf, 1, 7.5], [np.nan, 1, -1e300, 0, -np.inf], [2**53, 2, 0.5, 1, np.nan]],
        Fit([1, 3], {}, {1: {0: "a", 1: "b"}, 3: {0: "x", 1: "y"}}),
    ),
    "zero rows": lambda: (np.empty((0, 3)), Fit([1], {}, {1: {0: "x"}})),
    # Every column a text column, though recorded out of order.
    "text columns only, out of order": lambda: (
        [[0, 1], [1, np.nan], [2, 0]],
        Fit([1, 0], {}, {0: {0: "a", 1: "b"}, 1: {0: "x", 1: "y", 2: "z"}}),
    ),
    # Fewer rows than codes: strs are made on first use, and shared after.
    "large dictionary": lambda: (
        [[7, 7], [49, 0], [7, np.nan]],
        Fit([0, 1], {}, {0: {i: f"t{i}é" for i in range(50)}, 1: {0: "zero"}}),
    ),
    # Big dictionaries are made while the columns made before them are
    # filled; the biggest has more entries than rows, so its uses are counted.
    "big and small dictionaries": lambda: (
        np.random.default_rng(2).integers(-1, 7100, size=(6000, 4)).astype(float),
        Fit([0, 1, 3], {}, {0: {i: f"{i:x}" for i in range(7000)}, 1: {0: "a", 1: "b"},
                            3: {i: f"é{i}" for i in range(4100)}}),
    ),
    # Wide and long: ndarray results are filled a band of rows at a time.
    "many bands": lambda: (
        np.random.default_rng(1).integers(-1, 12, size=(1000, 70)).astype(float),
        Fit(list(range(0, 70, 2)), {}, {c: {i: f"c{c}v{i}" for i in range(10)} for c in range(0, 70, 2)}),
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_matches_per_cell_algorithm(case):
    data, fit = CASES[case]()
    enc = dorvik.Encoder()
    if fit is None:
        data = enc.encode(data)
    else:
        enc.__setstate__(build(fit))
    for got, want in decode_both(enc, data, index=np.arange(len(data)) + 100):
        assert_same(got, want)


@pytest.mark.parametrize("container", ["ndarray", "frame", "text frame"])
@pytest.mark.parametrize(
    ("rows", "entries", "step"),
    [
        (300_000, 30, 1),  # a str made for every entry first, codes 30-39 without one
        (300_000, 1_000, 1),  # made for every entry, most never used and freed
        (300_000, 5_000, 1),  # the first column filled while the second's strs are made
        (20_000, 5_000, 1),  # the second counted while the first's strs are made
        (300_000, 30, 7),  # codes that are not 0..n-1
        (2_000, 5_000, 1),  # more entries than rows: the uses are counted first
    ],
)
def test_each_str_is_held_once_by_each_of_its_cells(container, rows, entries, step):
    rng = np.random.default_rng(5)
    codes = (rng.integers(-1, 40, size=(rows, 3)) * step).astype(float)
    codes[::7, 1] = np.nan
    dicts = {0: {i * step: f"t{i}" for i in range(entries)}, 1: {i * step: f"é{i}" for i in range(entries)}}
    enc = fitted([0, 1], dicts)
    gc.collect()
    blocks = sys.getallocatedblocks()
    # A frame of text columns only is built another way than one with numbers.
    given = codes if container == "ndarray" else frame(codes[:, : 2 if container == "text frame" else 3])
    out = enc.decode(given)
    columns = [out[:, c] if container == "ndarray" else out.iloc[:, c].to_numpy() for c in range(2)]  # views
    missing = "NaN" if container == "ndarray" else None
    for c in range(2):
        assert columns[c].tolist() == [cell(x, dicts[c], missing) for x in codes[:, c]]
    uses, objects = {}, {}
    for x in np.concatenate([c.astype(object, copy=False).ravel() for c in columns]).tolist():
        uses[id(x)] = uses.get(id(x), 0) + 1
        objects[id(x)] = x
    del x
    used = {cell(x, dicts[c], None) for c in range(2) for x in codes[:, c]} - {None}
    assert len(objects) == len(used) + 1  # one str per code used, and the missing value
    held = {k: sys.getrefcount(objects[k]) - 2 for k in uses}  # less the dict's and the call's
    assert {k: n for k, n in held.items() if objects[k] is not None} == {  # None is immortal
        k: n for k, n in uses.items() if objects[k] is not None
    }
    del given, out, columns, objects, uses, held
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 30  # every str went with the cells


# Dictionaries of 200,000 entries: enough strs that their memory is faulted
# in on the pool while they are made, through a hook on the interpreter's
# arena allocator.
@pytest.mark.parametrize("container", ["ndarray", "frame"])
@pytest.mark.parametrize("numbers", [False, True])
def test_many_strs_decode_right(container, numbers):
    n = 200_000
    rng = np.random.default_rng(11)
    codes = np.stack([rng.permutation(n), rng.integers(0, n, n), rng.standard_normal(n)], axis=1)
    codes[::9, 0] = np.nan
    dicts = {0: {i: f"{i:016x}" for i in range(n)}, 1: {i: f"é{i}" for i in range(n)}}
    enc = fitted([0, 1], dicts)
    given = codes if numbers else codes[:, :2]
    out = enc.decode(given if container == "ndarray" else frame(given))
    missing = "NaN" if container == "ndarray" else None
    got = np.asarray(out, dtype=object)
    for c in range(2):
        assert got[:, c].tolist() == [cell(x, dicts[c], missing) for x in codes[:, c]]
    if numbers:
        assert got[:, 2].tolist() == codes[:, 2].tolist()
    assert get_handler_name() == "default_allocator"  # NumPy's allocator is back in place


# Run apart: an interpreter with a GIL of its own takes and gives back arenas
# through the same process-wide allocator while big decodes run here.
WHILE_ANOTHER_INTERPRETER_ALLOCATES = """
import sys, threading
import numpy as np
import _interpreters
sys.path.insert(0, {tests!r})
from state import Fit, build
import dorvik
n = 200_000
enc = dorvik.Encoder()
enc.__setstate__(build(Fit([0], {{}}, {{0: {{i: f"{{i:016x}}" for i in range(n)}}}})))
codes = np.arange(n, dtype=float)[:, None]
other = _interpreters.create()
churn = '''
for _ in range(200):
    texts = [str(i) * 3 for i in range(40_000)]
    del texts
'''
failed = []
thread = threading.Thread(target=lambda: failed.append(_interpreters.run_string(other, churn)))
thread.start()
while thread.is_alive():
    out = enc.decode(codes)
    assert out[:, 0].tolist() == [f"{{i:016x}}" for i in range(n)]
thread.join()
_interpreters.destroy(other)
assert failed == [None], failed  # what the other interpreter raised, if anything
"""


def test_decode_while_another_interpreter_allocates():
    pytest.importorskip("_interpreters")
    script = WHILE_ANOTHER_INTERPRETER_ALLOCATES.format(tests=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


# --- the cell rule ---

EDGE = {0: "zero", 1: "one", 2: "two", 2**63: "p63", 2**63 + 2048: "p63+", TOP: "top", MAX: "max"}


@pytest.mark.parametrize(
    ("x", "text"),
    [
        (np.nan, None),
        (1.7, "one"),
        (-3.0, "zero"),
        (-0.5, "zero"),
        (-np.inf, "zero"),
        (4.0, None),
        (float(2**63), "p63"),
        (float(2**63 + 2048), "p63+"),
        (float(TOP), "top"),
        (float(2**64), "max"),
        (np.inf, "max"),
    ],
)
def test_cell_rule(x, text):
    enc = fitted([0], {0: EDGE})
    arr = enc.decode(np.array([[x, 0.25]]))
    assert arr[0, 0] == (text or "NaN") and type(arr[0, 0]) is str
    assert arr[0, 1] == 0.25 and type(arr[0, 1]) is float
    df = enc.decode(frame([[x, 0.25]]))
    assert df.iat[0, 0] == text and df.dtypes.tolist() == [object, np.float64]


# --- shape mismatches and the order of the checks ---

# text columns, reverse dictionaries, input shape, only this container, message
FAILURES = {
    "fewer columns": ([0, 2], {0: {}, 2: {}}, (1, 2), None, OOB),
    "zero columns": ([0], {0: {0: "a"}}, (1, 0), None, OOB),
    "no dictionary": ([1], {}, (2, 2), None, NO_KEY),
    "no dictionary, out of bounds": ([5], {}, (1, 2), None, NO_KEY),
    "out of bounds before no dictionary": ([0, 5, 1], {0: {}, 5: {}}, (1, 2), None, OOB),
    "zero rows, no dictionary": ([0, 7], {0: {}}, (0, 2), None, NO_KEY),
    "zero rows, frame beyond names": ([0, 3], {0: {}, 3: {}}, (0, 2), "frame",
                                      "index out of bounds: the len is 2 but the index is 3"),
}


def failure_inputs(shape, only):
    m = np.zeros(shape)
    kinds = {"array": m, "frame": frame(m)}
    return [kinds[only]] if only else list(kinds.values())


@pytest.mark.parametrize("case", FAILURES)
def test_inconsistent_fit_panics_and_keeps_state(case):
    cols, c2t, shape, only, message = FAILURES[case]
    enc = fitted(cols, c2t)
    state = enc.__getstate__()
    for obj in failure_inputs(shape, only):
        with pytest.raises(PanicException, match=re.escape(message)):
            enc.decode(obj)
        assert enc.__getstate__() == state


def test_zero_rows_array_ignores_bounds():
    enc = fitted([1, 4], {1: {0: "x"}, 4: {}})
    out = enc.decode(np.empty((0, 2)))
    assert type(out) is np.ndarray and out.dtype == object and out.shape == (0, 2)


# --- no fit, or a fit without text columns ---

@pytest.mark.parametrize("prepare", ["new", "after float encode"])
def test_without_fit_returns_floats(enc, prepare):
    if prepare != "new":
        enc.encode(np.ones((2, 2)))
    assert fit_of(enc) is None
    x = np.array([[0.5, np.nan]])
    out = enc.decode(x)
    assert out is not x and out.dtype == np.float64 and np.array_equal(out, x, equal_nan=True)
    out = enc.decode(np.array([["b", 1], ["a", 2]], dtype=object))
    assert out.dtype == np.float64 and out.tolist() == [[1.0, 1.0], [0.0, 2.0]]
    out = enc.decode(pd.DataFrame({"s": ["b", "a"], "n": [1, 2]}))
    assert list(out.dtypes) == [np.float64] * 2 and out.values.tolist() == [[1.0, 1.0], [0.0, 2.0]]


def test_fit_without_text_columns(enc):
    enc.encode(np.array([[1, 2]]))  # an int array: a fit, but nothing to decode
    assert fit_of(enc) == Fit([], {}, {})
    out = enc.decode(np.array([[1.5, 2.0]]))
    assert out.dtype == object and [type(v) for v in out[0]] == [float, float]
    out = enc.decode(frame([[1.5, 2.0]]))
    assert list(out.dtypes) == [np.float64] * 2


# --- decoding by position ---

@pytest.mark.parametrize("width", [2, 3])  # text columns only, or with a number column
def test_duplicate_labels_decode_each_column(enc, width):
    df = pd.DataFrame([["x", "q", 1], ["y", "p", 2], ["x", "r", 3]], columns=["a", "a", "b"]).iloc[:, :width]
    out = enc.decode(enc.encode(df))
    assert list(out.columns) == ["a", "a", "b"][:width]
    assert list(out.dtypes) == [object, object, np.float64][:width]
    want = [["x", "y", "x"], ["q", "p", "r"], [1.0, 2.0, 3.0]][:width]
    assert [out.iloc[:, c].tolist() for c in range(width)] == want


@pytest.mark.parametrize(
    ("fitted_on", "given", "back"),
    [
        (["a", "b", "c"], ["c", "a", "b"], ["c", "a", "b"]),
        (["a", "b", "c"], ["c", "c", "nan"], ["a", "a", "NaN"]),  # fresh code 0 means "a"
    ],
)
def test_texts_are_encoded_afresh(enc, fitted_on, given, back):
    enc.encode(np.array([fitted_on], dtype=object).T)
    assert enc.decode(np.array([given], dtype=object).T)[:, 0].tolist() == back


# --- Python errors pass through ---

def test_frame_constructor_error_passes_through():
    enc = fitted([0], {0: {0: "a"}})
    state = enc.__getstate__()
    bad = FakeFrame(columns=["a", "b"], shape=(1, 1), values=np.array([["a"]], dtype=object))
    with pytest.raises(ValueError) as theirs:
        pd.DataFrame(np.zeros((1, 1)), columns=["a", "b"])
    with pytest.raises(ValueError) as ours:
        enc.decode(bad)
    assert str(ours.value) == str(theirs.value)
    assert enc.__getstate__() == state


# Run apart: the address space is limited so that the decode runs out of
# memory halfway. A big result's cells start out unset; whatever fails, none
# may be left so, every object made so far must go, and NumPy must allocate
# as before afterwards.
OUT_OF_MEMORY = """
import gc, resource, sys
import numpy as np
from numpy._core.multiarray import get_handler_name
sys.path.insert(0, {tests!r})
from state import Fit, build
import dorvik
enc = dorvik.Encoder()
{setup}
if {frame}:
    import pandas as pd
    codes = pd.DataFrame(codes)
enc.decode(codes[:100_000])  # starts the pool's threads while there is room
gc.collect()
blocks = sys.getallocatedblocks()
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
limit = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + 40 * 2**20, limit[1]))
try:
    enc.decode(codes)
except MemoryError:
    pass
else:
    raise AssertionError("decode had enough memory")
resource.setrlimit(resource.RLIMIT_AS, limit)
gc.collect()
print(sys.getallocatedblocks() - blocks)
assert get_handler_name() == "default_allocator"
assert np.ndarray(1 << 20, dtype=object).tolist() == [None] * (1 << 20)
out = np.asarray(enc.decode(codes))
{check}
"""

# Strs of a big column (500,000 rows): it runs out while the small column's
# cells are being filled. A big column with entries for a quarter of the
# rows or more has its uses counted first; one with fewer gets a str for
# every entry.
BIG_COLUMN = """
big = {{i: f"{{i:0{width}}}" for i in range({entries})}}
enc.__setstate__(build(Fit([0, 1], {{}}, {{0: {{i: f"s{{i}}" for i in range(5000)}}, 1: big}})))
del big
codes = np.stack([np.arange(500_000) % 5000, np.arange(500_000) % {entries}{numbers}], axis=1).astype(float)
"""
BIG_COLUMN_CHECK = """
assert out[4999, 0] == "s4999" and out[499_999, 1] == f"{{499_999 % {entries}:0{width}}}"
assert {numbers!r} == "" or out[7, 2] == 3.5
"""
# Floats of a number column (2,000,000 rows), after the strs of a small one.
FLOATS = """
enc.__setstate__(build(Fit([0], {}, {0: {i: f"s{i}" for i in range(50)}})))
codes = np.stack([np.arange(2_000_000) % 50, np.arange(2_000_000) / 2], axis=1)
"""
FLOATS_CHECK = """
assert out[49, 0] == "s49" and out[7, 1] == 3.5 and out[-1, 1] == 999_999.5
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves more address space than any limit leaves")
@pytest.mark.parametrize(
    ("frame", "setup", "check"),
    [
        pytest.param(frame, BIG_COLUMN.format(entries=entries, width=width, numbers=numbers),
                     BIG_COLUMN_CHECK.format(entries=entries, width=width, numbers=numbers),
                     id=f"{'frame' if frame else 'ndarray'}-{entries}{'-numbers' if numbers else ''}")
        for frame in (False, True)
        for entries, width in ((500_000, 100), (120_000, 450))
        for numbers in ("", ", np.arange(500_000) / 2")
        if not (frame and numbers)
    ]
    + [pytest.param(False, FLOATS, FLOATS_CHECK, id="ndarray-floats")],
)
def test_running_out_of_memory_leaves_nothing_behind(frame, setup, check):
    script = OUT_OF_MEMORY.format(tests=os.path.dirname(__file__), frame=frame, setup=setup, check=check)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 100


# --- references ---

ROUNDS = 3000


def plain(obj):
    # A pandas input frame keeps a weak reference per view taken of it and
    # prunes them only now and then; a plain stand-in keeps the count steady.
    if isinstance(obj, pd.DataFrame):
        return FakeFrame(columns=list(obj.columns), shape=obj.shape, values=obj.to_numpy())
    return obj


class Reentrant:
    """A cell whose str() calls back into the encoder that is decoding it."""

    def __init__(self, enc):
        self.enc = enc

    def __str__(self):
        self.enc.decode(np.array([[0.0, 1.0]]))  # shared borrow: allowed
        try:
            self.enc.encode(np.eye(1))
        except RuntimeError:
            pass
        return "r"


def test_no_reference_or_block_grows():
    good = fitted([0, 1], {0: {0: "α", 1: "b"}, 1: {}})
    jobs = [(good, obj) for obj in failure_inputs((3, 3), None) + [np.array([["a", 1]], dtype=object)]]
    jobs += [(fitted(c, d), obj) for c, d, shape, only, _ in FAILURES.values() for obj in failure_inputs(shape, only)]
    jobs.append((good, FakeFrame(columns=["a", "b"], shape=(1, 1), values=np.array([["a"]], dtype=object))))
    jobs.append((good, np.array([["a", Reentrant(good)]], dtype=object)))
    jobs = [(enc, plain(obj)) for enc, obj in jobs]

    def run():
        for enc, obj in jobs:
            try:
                enc.decode(obj)
            except (PanicException, ValueError):
                pass

    for _ in range(ROUNDS // 10):  # warm-up: imports, caches, free lists
        run()
    gc.collect()
    counts = [sys.getrefcount(obj) for _, obj in jobs]
    blocks = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        run()
    gc.collect()
    assert [sys.getrefcount(obj) for _, obj in jobs] == counts
    assert sys.getallocatedblocks() - blocks < ROUNDS / 3
