"""Encoding tables read cell by cell: classification, texts, codes, fits."""

import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import dorvik
from checks import cell_text, float_value, number_text
from conftest import FakeFrame, PanicException
from state import Fit, fit_of

MARKERS = {"nan", "NaN", "<NA>"}


def table(*columns):
    """An object array whose columns are the given lists, cells as they are."""
    a = np.empty((len(columns[0]) if columns else 0, len(columns)), dtype=object)
    for c, col in enumerate(columns):
        for r, v in enumerate(col):
            a[r, c] = v
    return a


def oracle(columns):
    """Matrix and Fit built the plain way, for cells of the kinds used here."""
    nrows = len(columns[0]) if columns else 0
    matrix = np.zeros((nrows, len(columns)))
    fit = Fit([], {}, {})
    for c, col in enumerate(columns):
        numbers, texts = [], None
        for v in col:
            if texts is None:
                f = float_value(v)
                if f is not None:
                    numbers.append(f)
                    continue
                texts = [number_text(x) for x in numbers]
            texts.append(cell_text(v))
        if texts is None:
            matrix[:, c] = numbers
            continue
        ordered = sorted(set(texts), key=lambda t: t.encode("utf-8"))
        coded = [t for t in ordered if t not in MARKERS]
        code = {t: i for i, t in enumerate(coded)}
        matrix[:, c] = [code.get(t, np.nan) for t in texts]
        fit.text_columns.append(c)
        fit.text_to_code[c] = {t: code.get(t) for t in ordered}
        fit.code_to_text[c] = dict(enumerate(coded))
    return matrix, fit


def assert_same(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype == np.float64
    assert a.tobytes() == b.tobytes()  # NaN bit patterns and -0.0 included


# ---- worked examples


def test_column_dictionary_example(enc):
    out = enc.encode(table(["b", "NaN", "a", "b", "<NA>", "B", ""]))
    np.testing.assert_array_equal(out[:, 0], [3, np.nan, 2, 3, np.nan, 1, 0])
    assert fit_of(enc).text_to_code == {
        0: {"": 0, "<NA>": None, "B": 1, "NaN": None, "a": 2, "b": 3}
    }
    assert np.isnan(out[1, 0]) and out[1:2, 0].view(np.uint64)[0] == 0x7FF8000000000000


def test_table_example(enc):
    out = enc.encode(table([1.5, 2, None], ["b", "a", "b"]))
    np.testing.assert_array_equal(out, [[0, 1], [1, 0], [2, 1]])
    assert fit_of(enc) == Fit(
        [0, 1],
        {0: {"1.5": 0, "2": 1, "None": 2}, 1: {"a": 0, "b": 1}},
        {0: {0: "1.5", 1: "2", 2: "None"}, 1: {0: "a", 1: "b"}},
    )


# ---- texts of cells

NUMBER_AND_STR_TEXTS = [
    (1.0, "1", "1.0"),
    (-0.0, "-0", "-0.0"),
    (2.5, "2.5", "2.5"),
    (1e21, "1000000000000000000000", "1e+21"),
    (1e-7, "0.0000001", "1e-07"),
    (float("inf"), "inf", "inf"),
    (-float("inf"), "-inf", "-inf"),
    (float("nan"), "NaN", "nan"),
    (2, "2", "2"),
    (True, "1", "True"),
    (0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"),
    (1.2345678901234568e20, "123456789012345680000", "1.2345678901234568e+20"),
    (5e-324, "0." + "0" * 323 + "5", "5e-324"),
    (np.float32(0.1), "0.10000000149011612", "0.1"),
]


@pytest.mark.parametrize("cell, number, as_str", NUMBER_AND_STR_TEXTS)
def test_number_text_before_and_str_text_after_the_switch(enc, cell, number, as_str):
    enc.encode(table([cell, "x", cell]))
    texts = set(fit_of(enc).text_to_code[0])
    assert texts == {number, "x", as_str}


@given(st.floats(allow_nan=False, allow_infinity=False))
@settings(max_examples=300, deadline=None)
def test_number_text_is_shortest_positional(x):
    enc = dorvik.Encoder()
    enc.encode(table([x, "x"]))
    assert set(fit_of(enc).text_to_code[0]) == {number_text(x), "x"}


class Shouty(str):
    def __str__(self):
        return self.upper()


class Floaty:
    def __float__(self):
        return 4.5


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "cell, text",
    [
        ("\ud800", "\ufffd" * 3),
        ("a\udcffb\ud83d\ude00", "a" + "\ufffd" * 3 + "b" + "\ufffd" * 6),
        ("é中😀", "é中😀"),
        ("\xff", "\xff"),
        (Shouty("loud"), "LOUD"),
        (None, "None"),
        (pd.NA, "<NA>"),
        (b"x", "b'x'"),
        ((1, "a"), "(1, 'a')"),
        (np.str_("np"), "np"),
    ],
)
def test_cell_texts(enc, cell, text):
    enc.encode(table(["first", cell]))
    assert set(fit_of(enc).text_to_code[0]) == {"first", text}


@pytest.mark.parametrize(
    "cells, expected",
    [
        ([1, 2.5, True, np.int8(3), np.float32(0.5), Floaty(), Indexy()], [1, 2.5, 1, 3, 0.5, 4.5, 7]),
        ([float("nan"), float("inf"), -0.0], [np.nan, np.inf, -0.0]),
    ],
)
def test_numeric_columns_pass_through(enc, cells, expected):
    out = enc.encode(table(cells, ["t"] * len(cells)))
    assert_same(out[:, 0].copy(), np.array(expected, dtype=np.float64))
    assert fit_of(enc).text_columns == [1]


@pytest.mark.parametrize(
    "cells, codes",
    [
        ([1.0, "x", 1.0], [0, 2, 1]),  # "1", "x", "1.0"
        ([float("nan"), "a", float("nan")], [np.nan, 0, np.nan]),  # "NaN", "a", "nan"
        (["a", 2, 2.0], [2, 0, 1]),  # text from the first row: "2" and "2.0"
        (["3.5", 10], [1, 0]),  # a str that looks like a number is text: "10" < "3.5"
        ([pd.NA, None, "None"], [np.nan, 0, 0]),
        (["NAN", " nan", "nan ", "null", ""], [2, 1, 3, 4, 0]),
    ],
)
def test_codes_of_mixed_columns(enc, cells, codes):
    np.testing.assert_array_equal(enc.encode(table(cells))[:, 0], codes)


@pytest.mark.parametrize("cells", [[], ["nan", "NaN", "<NA>", "nan"]])
def test_columns_without_codes(enc, cells):
    out = enc.encode(table(cells + ["x"]))
    assert fit_of(enc).code_to_text == {0: {0: "x"}}
    assert np.isnan(out[:-1, 0]).all()


# ---- fast paths against item access


class Items:
    """The same cells, reachable only by item access with (row, col)."""

    def __init__(self, a):
        self.a = a
        self.shape = a.shape

    def __getitem__(self, key):
        return self.a[key]


Items.__name__ = "ndarray"


def arrays_for_fast_paths():
    rng = np.random.default_rng(7)
    ints = rng.integers(-(2**62), 2**62, size=(40, 3))
    yield "object", table(["b", 1, 2.5, None, "é", "a", pd.NA, "b"], [1, 2, 3, 4, 5, 6, 7, 8])
    yield "bool", rng.random((5, 3)) > 0.5
    for dtype in ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4"]:
        yield dtype, (ints % 1000).astype(dtype)
        yield ">" + dtype, (ints % 1000).astype(">" + dtype)
    yield "u8-big", np.array([[2**64 - 1, 2**63 + 1, 2**53 + 1]], dtype="u8")
    yield "i8-big", ints
    yield "f2-special", np.array([[np.nan, np.inf, -np.inf, 6e-8, -0.0, 65504]], dtype="f2")
    yield "f8-swapped", np.array([[1.5, np.nan, -0.0]], dtype=">f8")
    yield "fortran", np.asfortranarray(table(["x", "y", "x"], [1, 2, 3]))
    yield "strided", table(*[[f"{i}{j}" for i in range(6)] for j in range(4)])[::2, ::-2]
    yield "unicode", np.array([["a", "b"], ["é", "nan"]])
    yield "complex", np.array([[1 + 2j, 3j]])
    yield "longdouble", np.array([[1.5, 2.25]], dtype=np.longdouble)
    yield "datetime", np.array([["2024-01-01", "NaT"]], dtype="datetime64[D]")


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("name, a", list(arrays_for_fast_paths()), ids=lambda v: v if isinstance(v, str) else "")
def test_in_place_reading_matches_item_access(name, a):
    direct, slow = dorvik.Encoder(), dorvik.Encoder()
    assert_same(direct.encode(a), slow.encode(Items(a)))
    assert fit_of(direct) == fit_of(slow)


def test_memmap_reads_like_ndarray(tmp_path):
    m = np.memmap(tmp_path / "m.bin", dtype="i4", mode="w+", shape=(3, 2))
    m[:] = [[1, 2], [3, 4], [5, -6]]
    assert_same(dorvik.Encoder().encode(m), m.astype(np.float64))


def test_cells_are_read_column_by_column(enc):
    seen = []

    class Loud:
        def __init__(self, name):
            self.name = name

        def __float__(self):
            seen.append(self.name)
            return 0.0

    enc.encode(table([Loud("a0"), Loud("a1")], [Loud("b0"), Loud("b1")]))
    assert seen == ["a0", "a1", "b0", "b1"]


# ---- property: random tables against the plain construction

CELLS = st.one_of(
    st.text(max_size=4),
    st.sampled_from(["nan", "NaN", "<NA>", "", "NAN", "a", "b"]),
    st.integers(-(10**6), 10**6),
    st.floats(),
    st.booleans(),
    st.none(),
    st.just(pd.NA),
)


@given(st.integers(0, 12).flatmap(lambda n: st.lists(st.lists(CELLS, min_size=n, max_size=n), min_size=1, max_size=4)))
@settings(max_examples=300, deadline=None)
def test_random_tables_match_the_plain_construction(columns):
    enc = dorvik.Encoder()
    out = enc.encode(table(*columns))
    matrix, fit = oracle(columns)
    np.testing.assert_array_equal(out, matrix)
    assert fit_of(enc) == fit


# ---- failures


class BadStr:
    def __str__(self):
        raise ValueError("no text for you")


@pytest.mark.parametrize(
    "column",
    [["text", BadStr()], [BadStr(), "text"]],  # met in a text column, and where the column turns to text
    ids=["in-text-column", "at-switch"],
)
def test_raising_str_panics_and_keeps_the_fit(enc, column):
    enc.encode(table(["kept"]))
    before = enc.__getstate__()
    with pytest.raises(PanicException) as info:
        enc.encode(table(column))
    assert str(info.value).startswith("cant convert to str")
    assert "no text for you" in str(info.value)
    assert enc.__getstate__() == before


class Cells:
    """A cell source that counts its reads and can fail them."""

    def __init__(self, fail=False):
        self.reads = 0
        self.fail = fail

    def __getitem__(self, key):
        self.reads += 1
        if self.fail:
            raise IndexError(key)
        return 1.0


@pytest.mark.parametrize("shape", [(2**62, 4), (2**40, 2**40), (2**64 - 1, 2)])
def test_capacity_overflow_before_any_cell(enc, shape):
    cells = Cells()
    with pytest.raises(PanicException, match="^capacity overflow$"):
        enc.encode(FakeFrame(columns=["a"] * 4, shape=shape, values=cells))
    assert cells.reads == 0


def test_failed_item_access_panics(enc):
    with pytest.raises(PanicException, match=r"^called `Result::unwrap\(\)` on an `Err` value.*IndexError"):
        enc.encode(FakeFrame(columns=["a"], shape=(1, 1), values=Cells(fail=True)))


def test_memory_exhaustion_is_memory_error(enc):
    enc.encode(table(["kept"]))
    before = enc.__getstate__()
    with pytest.raises(MemoryError):
        enc.encode(FakeFrame(columns=["a"], shape=(2**24, 2**24), values=Cells()))
    assert enc.__getstate__() == before


@pytest.mark.parametrize("shape", [(0, 2**40), (0, 0), (5, 0)])
def test_empty_tables_return_at_once(enc, shape):
    t = time.perf_counter()
    out = enc.encode(np.empty(shape, dtype=object))
    assert time.perf_counter() - t < 1
    assert out.shape == shape and out.dtype == np.float64
    assert fit_of(enc) == Fit([], {}, {})


# ---- threads

SCRIPT = textwrap.dedent(
    """
    import hashlib, os, sys
    import numpy as np, dorvik
    sys.path.insert(0, {tests!r})
    from state import fit_of
    rng = np.random.default_rng(3)
    words = np.array([f"w{{i:05d}}" for i in range(20000)] + ["nan", "", "é"], dtype=object)
    a = np.empty((70000, 5), dtype=object)
    a[:, 0] = words[rng.integers(0, len(words), 70000)]
    a[:, 1] = [str(i) for i in rng.integers(0, 10**9, 70000)]
    a[:, 2] = rng.random(70000)
    a[:, 3] = words[rng.integers(0, 50, 70000)]
    a[:, 4] = [None if i % 7 else "x" for i in range(70000)]
    before = len(os.listdir("/proc/self/task"))
    enc = dorvik.Encoder()
    out = enc.encode(a)
    extra = len(os.listdir("/proc/self/task")) - before
    fit = fit_of(enc)
    print(extra, hashlib.sha256(out.tobytes()).hexdigest(), hashlib.sha256(repr(
        (fit.text_columns, sorted((c, sorted(d.items(), key=str)) for c, d in fit.text_to_code.items()),
         sorted((c, sorted(d.items())) for c, d in fit.code_to_text.items()))).encode()).hexdigest())
    """
)


def run_with_env(**env):
    script = SCRIPT.format(tests=os.path.dirname(__file__))
    full = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")} | env
    done = subprocess.run([sys.executable, "-c", script], env=full, capture_output=True, text=True, check=True)
    extra, *digests = done.stdout.split()
    return int(extra), digests


def test_results_do_not_depend_on_the_thread_count():
    results = {n: run_with_env(RAYON_NUM_THREADS=str(n)) for n in (1, 2, 8)}
    assert results[1][1] == results[2][1] == results[8][1]
    assert {n: extra for n, (extra, _) in results.items()} == {1: 0, 2: 1, 8: 7}


@pytest.mark.parametrize(
    "env, threads",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, len(os.sched_getaffinity(0))),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_RS_NUM_CPUS": "0"}, len(os.sched_getaffinity(0))),
        ({}, len(os.sched_getaffinity(0))),
    ],
)
def test_pool_size_from_the_environment(env, threads):
    assert run_with_env(**env)[0] == threads - 1


# ---- large columns: mostly distinct texts are sorted without hashing


def big_column(kind, n=40000):
    rng = np.random.default_rng(11)
    if kind == "distinct":
        texts = [f"{x:x}" for x in rng.integers(0, 2**40, n)]  # a few repeats by chance
    elif kind == "distinct-long-prefix":
        texts = [f"customer/2024/{x:08d}" for x in rng.permutation(n)]
    elif kind == "objects-repeat-later":
        # 4096 distinct objects, each row its own entry so far, then the same
        # objects again: the first repeat starts a run of repeats where the
        # reader begins a new band of rows.
        first = [f"d{x:05d}" for x in range(4096)]
        return first + [first[x] for x in rng.integers(0, 4096, n - 4096)]
    elif kind == "own-repeats":
        # Every cell its own object, 60,000 distinct texts over 300,000 rows:
        # texts seen before are found by content, in an index that grows past
        # the sizes at which its slots and keys are fetched ahead. Cells that
        # are not strs come now and then, past the first rows.
        texts = ["".join(["r", f"{x:06d}"]) for x in rng.integers(0, 60_000, 300_000)]
        for i in range(20_000, len(texts), 4999):
            texts[i] = [None, 7, True, float("nan"), -3][i % 5]
        return texts
    elif kind == "shared-many":  # equal texts share one object, a tenth of them distinct
        pool = [f"s{x:06d}" for x in range(n // 10)]
        texts = [pool[x] for x in rng.integers(0, n // 10, n)]
    elif kind == "shared-tenfold":  # enough distinct texts for the caches to judge, each object in ~10 cells
        pool = [f"id{x:07d}" for x in range(n // 2)]
        texts = [pool[x] for x in rng.integers(0, n // 2, 5 * n)]
        for i in range(0, len(texts), 997):
            texts[i] = ["nan", "NaN", "<NA>", "", "é"][i % 5]
        return texts
    elif kind == "few":
        texts = [f"v{x}" for x in rng.integers(0, 300, n)]
    elif kind == "common-prefix":  # no markers: every text shares its first 14 bytes
        texts = [f"customer/2024/{x:08d}" for x in rng.permutation(n)]
        # Texts that end within, at and past the 8 bytes after the shared ones.
        ends = ["", "\x00", "\x00\x00", "0", "\x00" * 8, "\x00" * 9, "\x00" * 8 + "x", "0" * 8, "0" * 9]
        texts[::2000] = ["customer/2024/" + e for e in ends] * 2 + ["customer/2024/0"] * 2
        return texts
    elif kind == "hex":
        # 16 values at every place fill the sort's buckets exactly; the first
        # and last text sit in the first and last bucket.
        texts = [f"{x:016x}" for x in rng.integers(0, 2**64, n, dtype=np.uint64)] + ["0" * 16, "f" * 16]
        return [texts[i] for i in rng.permutation(len(texts))]
    elif kind == "spread":
        # Mostly distinct ids of a 62-letter alphabet, which fills the sort's
        # buckets unevenly and needs a part of a byte's values to fill them
        # up; later, a tenth of the cells repeating an earlier cell's object;
        # and once each, texts with bytes that no other text has at their
        # place, some shorter than the ids.
        n = 150_000
        letters = np.array(list("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"))
        ids = ["".join(w) for w in letters[rng.integers(0, 62, (n, 12))]]
        texts = [ids[i // 3] if i % 10 == 0 and i >= 20_000 else ids[i] for i in range(n)]
        rare = ["\x00", "~", "é", "0\x7f", "00000000\x01", "zzzzzzzzz~", "", "!", "0" * 30, "\U0001f600"]
        for k, text in enumerate(rare + [t + "x" * 9 for t in rare]):
            texts[20_001 + 2 * 997 * k] = text
        return texts
    elif kind == "one-byte-sampled":
        # The sort ranks bytes by every other text, and those all have "q"
        # third. Texts at odd rows have a third byte before or after "q", then
        # bytes that would sort them the other way: the third byte decides.
        n = 150_000
        texts = [f"{x:02x}q{y:07x}" for x, y in zip(rng.integers(0, 256, n), rng.integers(0, 2**28, n))]
        for k, third in enumerate("pr" * 20):
            texts[1 + 2 * 1501 * k] = f"{k:02x}{third}{'f0'[k % 2] * 7}"
        return texts
    elif kind == "runs":
        # Sorted, runs of equal texts straddle the points where the work is
        # split: each marker run covers one, and texts come in pairs.
        n = 50_000
        z_pairs = (n - 100 * 3 - 4016 - 4117) // 2
        texts = (["<NA>"] * 100 + [f"A{i:07d}" for i in range(4016)] + ["NaN"] * 100
                 + [f"Z{i:07d}" for i in range(z_pairs)] * 2 + ["nan"] * 100 + [f"z{i:07d}" for i in range(4117)])
        return [texts[i] for i in rng.permutation(len(texts))]
    elif kind == "tied-prefixes":
        # Mostly distinct, about ten texts to each first 8 bytes, so that the
        # sort orders runs of tied keys (some longer than it loads ahead) by
        # the bytes after them; every seventh cell an earlier cell's text as
        # an object of its own.
        texts = [f"{a:08d}{b:03d}" for a, b in zip(rng.integers(0, n // 10, n), rng.integers(0, 1000, n))]
        for i in range(7, n, 7):
            texts[i] = "".join(list(texts[i // 2]))
    elif kind == "own-nonascii":
        # Every cell its own object, of each of the three widths, and lone
        # surrogates: different code units whose UTF-8 is the same.
        # "ł7" is stored as the bytes of "B\x017\x00"; "B\x01" + "7\x00" is
        # another text.
        heads = ["ö", "ł", "🙂", "\ud800", "\udfff", "a\udc00", "B\x01"]
        texts = ["".join([heads[x % 7], str(x % 5) + ("\x00" if x % 7 == 6 else "")]) for x in rng.integers(0, 700, n)]
    else:  # "own": every cell its own object, few distinct texts
        texts = ["".join(["w", str(x)]) for x in rng.integers(0, 50, n)]
    for i in range(0, n, 997):
        texts[i] = ["nan", "NaN", "<NA>", "", "é"][i % 5]
    return texts


@pytest.mark.parametrize(
    "kind",
    ["distinct", "distinct-long-prefix", "common-prefix", "shared-many", "shared-tenfold", "few", "own", "own-nonascii",
     "runs", "hex", "spread", "one-byte-sampled", "tied-prefixes", "objects-repeat-later", "own-repeats"],
)
def test_large_columns_match_the_plain_construction(kind):
    column = big_column(kind)
    enc = dorvik.Encoder()
    out = enc.encode(table(column))
    matrix, fit = oracle([column])
    np.testing.assert_array_equal(out, matrix)
    assert fit_of(enc) == fit


# ---- pandas frames: own column arrays against `values`


class ByValues:
    """The same frame, reachable only through shape, columns and values."""

    def __init__(self, df):
        self.columns = df.columns
        self.shape = df.shape
        self.values = df.values


ByValues.__name__ = "DataFrame"


def frames():
    n = 6
    base = {
        "i8": np.arange(n, dtype="i1"),
        "u64": np.array([0, 1, 2**64 - 1, 2**63, 5, 2**53 + 1], dtype="u8"),
        "i64": np.array([-(2**63), 2**53 + 1, 3, 4, 5, 6], dtype="i8"),
        "f16": np.array([0.5, np.nan, np.inf, -0.0, 65504, 6e-8], dtype="f2"),
        "f32": np.array([0.1, 2, 3, 4, 5, np.nan], dtype="f4"),
        "f64": np.array([0.1, -0.0, np.nan, 1e300, 5, 6]),
        "bool": np.array([True, False] * 3),
        "obj": pd.Series(["b", None, 1.5, "nan", pd.NA, "é"], dtype=object),
        "objnum": pd.Series([1, 2.5, True, 4, 5, 6], dtype=object),
    }
    yield "numpy-dtypes", pd.DataFrame(base)
    yield "numbers-only", pd.DataFrame({k: base[k] for k in ("i8", "u64", "f16", "bool")})
    floats = np.array([base["f64"], base["f64"][::-1] * 3, base["f32"]], dtype="f8").T
    yield "float64-strided", pd.DataFrame(floats)
    yield "float64-block", pd.DataFrame(np.asfortranarray(floats))
    apart = pd.DataFrame(np.asfortranarray(floats))
    apart.isetitem(1, floats[::-1, 1].copy())  # the block keeps the old cells
    yield "float64-apart", apart
    yield "float64-swapped", pd.DataFrame(np.asfortranarray(floats).astype(">f8"))
    yield "float64-one-row", pd.DataFrame(np.asfortranarray(floats[:1]))
    yield "text-only", pd.DataFrame({"a": base["obj"], "b": base["obj"][::-1].to_numpy()})
    extension = dict(base)
    extension.update(
        cat=pd.Categorical(["x", "y", "x", "z", "y", "x"]),
        when=pd.date_range("2024-01-01", periods=n),
        span=pd.to_timedelta(np.arange(n), unit="s"),
        nullable=pd.array([1, None, 3, 4, 5, 6], dtype="Int64"),
        flag=pd.array([True, None, False, True, True, False], dtype="boolean"),
        text=pd.array(["p", None, "q", "r", "s", "t"], dtype="str"),
        cplx=np.arange(n) * 1j,
    )
    yield "with-extension-dtypes", pd.DataFrame(extension)
    strings = {
        "str": pd.array(["p", None, "q", "nan", "é", "p"], dtype="str"),
        "string": pd.array(["p", None, "<NA>", "q", "", "p"], dtype="string"),
        "inferred": ["a", "b", "a", "c", "a", "b"],
    }
    yield "string-dtypes", pd.DataFrame(strings | {"f64": base["f64"], "obj": base["obj"]})
    yield "duplicate-labels", pd.DataFrame([["a", 1, "b"], ["c", 2, "a"]], columns=["x", "x", "y"]).astype(
        {"y": object}
    )
    yield "empty", pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype="f8")})
    yield from arrow_frames()


def arrow_frames():
    """pandas string columns whose texts Arrow holds, where pyarrow is there:
    they are read from Arrow's buffers, nulls and chunks included."""
    if pd.Series(["a"], dtype="str").dtype.storage != "pyarrow":
        return
    rng = np.random.default_rng(4)

    def col(cells):
        return pd.Series(cells, dtype="str")

    many = [f"w{i}é" if i % 3 else f"k{i}" for i in rng.integers(0, 300, 40_000)]
    distinct = [f"id{i:07d}" for i in rng.permutation(40_000)]
    for k in rng.choice(40_000, 4_000, replace=False):
        many[k] = distinct[k] = None
    yield "arrow-nulls", pd.DataFrame({
        "leading": col([None, None, "b", None, "a", "", "é"]),
        "all-null": col([None] * 7),
        "none-null": col(["z", "y", "", "nan", "NaN", "<NA>", "日本"]),
        "trailing": col(["q", None, None, None, None, None, None]),
        "f": np.arange(7.0),
    })
    yield "arrow-large", pd.DataFrame({"many": col(many), "distinct": col(distinct)})
    chunked = pd.concat([pd.DataFrame({"t": col([None, "b", "a"])}), pd.DataFrame({"t": col(["c", None, "a"])})],
                        ignore_index=True)
    assert chunked["t"].array.__arrow_array__().num_chunks == 2
    yield "arrow-chunks", chunked
    sliced = pd.DataFrame({"t": col(["x", None, "y", "z"] * 3), "n": np.arange(12)}).iloc[5:]
    assert sliced["t"].array.__arrow_array__().chunk(0).offset == 5
    yield "arrow-offset", sliced
    # Columns long enough, and more of them than workers, are looked at in
    # samples before they are read: chunked and sliced ones among them.
    pieces = [pd.DataFrame({"few": col([f"f{i % 9}" for i in range(k, k + 30_000)]),
                            "ids": col([f"i{i}" if i % 11 else None for i in range(k, k + 30_000)]),
                            "mixed": col([f"m{i % 5000}" if i % 3 else f"n{i}" for i in range(k, k + 30_000)])})
              for k in (0, 30_000, 60_000)]
    long_chunked = pd.concat(pieces, ignore_index=True).iloc[9:]
    long_chunked.insert(1, "o", pd.Series([f"w{i % 300}" for i in range(len(long_chunked))], dtype=object,
                                          index=long_chunked.index))
    assert long_chunked["ids"].array.__arrow_array__().num_chunks == 3
    assert long_chunked["ids"].array.__arrow_array__().chunk(0).offset == 9
    yield "arrow-long-chunked", long_chunked
    # An object column that only the plain way reads sends the others that
    # way too, while Arrow columns after it are still read from their buffers.
    yield "arrow-after-plain", pd.DataFrame({"o": pd.Series(["b", 2**70, "a"], dtype=object),
                                              "t": col(["x", None, "y"]), "u": col(["q", "p", None])})


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("name, df", list(frames()), ids=lambda v: v if isinstance(v, str) else "")
def test_frames_read_by_column_match_values(name, df):
    direct, slow = dorvik.Encoder(), dorvik.Encoder()
    a, b = direct.encode(df), slow.encode(ByValues(df))
    assert list(a.columns) == list(b.columns)
    assert_same(a.to_numpy(), b.to_numpy())
    assert fit_of(direct) == fit_of(slow)


def test_float_frame_result_is_its_own(enc):
    # A frame of float64 columns side by side is read where it lies; the
    # result must still be a copy.
    df = pd.DataFrame(np.asfortranarray(np.arange(6.0).reshape(3, 2)))
    out = enc.encode(df)
    out.iloc[0, 0] = 99.0
    assert df.iloc[0, 0] == 0.0 and not np.shares_memory(out.to_numpy(), df.to_numpy())


def test_python_code_in_a_cell_sends_the_frame_through_values(enc):
    calls = []

    class Traced:
        def __str__(self):
            calls.append(1)
            return "traced"

    df = pd.DataFrame({"n": [1.0, 2.0], "t": pd.Series(["a", Traced()], dtype=object)})
    out = enc.encode(df)
    np.testing.assert_array_equal(out.to_numpy(), [[1, 0], [2, 1]])
    assert calls == [1]  # read once: nothing ran before the switch to `values`
