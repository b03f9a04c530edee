"""Columns of str, float, bool, small int and None cells read on the worker
pool (split into parts when long) give exactly what the plain read by item
access gives; a column with any other cell sends the whole table the plain
way."""

import decimal
import os
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import dorvik
from state import fit_of
from test_cells import Items, assert_same, table

HERE = pathlib.Path(__file__).resolve().parent


def big_columns(n):
    """Shared and own str objects with markers, non-ASCII, None, NaN,
    infinities, bools and ints among them; leading numbers; numbers up to a
    last None."""
    rng = np.random.default_rng(21)
    words = np.array([f"w{i}" for i in range(500)] + ["nan", "NaN", "<NA>", "", "é", "日本", "🙂x"], dtype=object)
    gaps = list(words[rng.integers(0, len(words), n)])
    # Ints the pool reads are those of one CPython digit (|v| < 2**30); a
    # bigger one would send the whole table the plain way.
    odd = [None, float("nan"), -float("nan"), np.inf, -np.inf, True, False, 0, -7, 2**30 - 1, -(2**30 - 1)]
    for i, v in zip(rng.choice(n, n // 10, replace=False), odd * n):
        gaps[i] = v
    own = ["".join(["o", str(i)]) for i in rng.integers(0, 1000, n)]  # each cell its own object
    prefix = [float(x) for x in rng.choice([0.1, -0.0, np.nan, 1e20, 7.0, -np.inf], 1000)] + own[1000:]
    for i, v in zip(range(0, 1000, 7), [True, False, 3, -(2**30 - 1), 2**30 - 1, 0, -1] * 21):
        prefix[i] = v
    late_none = [float(x) for x in rng.random(n - 1)] + [None]
    # Texts too many for the lookups to stay in cache (each part's index of
    # own objects' texts gets big enough for its keys to be prefetched too),
    # shared objects and own ones, of all three str widths, among other cells.
    many = np.array([f"m{i}" + "éł日🙂"[i % 4] * (i % 3) for i in range(45_000)], dtype=object)
    shared = list(many[rng.integers(0, len(many), n)])
    own_many = ["".join(["", s]) for s in shared]
    for column in (shared, own_many):
        for i, v in zip(rng.choice(n, n // 20, replace=False), odd * n):
            column[i] = v
    # Distinct texts, then a few repeated: the first part's rows are its
    # entries in order, the last part's are not. And the other way round: a
    # part of distinct texts after one of few.
    half = n // 2
    repeats = [f"d{i}" for i in range(half)] + ["".join(["d", str(i % 1000)]) for i in range(n - half)]
    # Mostly distinct texts throughout, each twentieth cell an earlier cell's
    # object: every part appends its entries, and hands on their prefixes.
    ids = [f"id{x:x}" for x in rng.integers(0, 2**40, n)]
    for i in range(20, n, 20):
        ids[i] = ids[i // 2]
    return [ids, gaps, prefix, late_none, shared, own_many, repeats, repeats[::-1]]


def check_against_item_access(a):
    pooled, plain = dorvik.Encoder(), dorvik.Encoder()
    expected = plain.encode(Items(a))
    assert_same(pooled.encode(a), expected)
    assert fit_of(pooled) == fit_of(plain)
    df = pd.DataFrame({i: pd.Series(a[:, i], dtype=object) for i in range(a.shape[1])})
    by_column = dorvik.Encoder()
    assert_same(by_column.encode(df).to_numpy(), expected)
    assert fit_of(by_column) == fit_of(plain)


def test_long_columns_read_in_parts_match_item_access():
    columns = big_columns(140_000)
    check_against_item_access(table(*columns))  # no fewer columns than threads: each read whole
    for column in columns:
        check_against_item_access(table(column))  # alone: two parts or more with two threads


def test_more_parts_than_this_machine_has_cores():
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")} | {"RAYON_NUM_THREADS": "3"}
    code = f"import sys; sys.path[:0] = [{str(HERE)!r}, {str(HERE.parent / 'fuzz')!r}]; " \
           "import test_pool_read as t; c = t.big_columns(200_000); " \
           "t.check_against_item_access(t.table(*c[:2])); t.check_against_item_access(t.table(c[2]))"
    subprocess.run([sys.executable, "-c", code], env=env, check=True)


class Sub(str):
    pass


@pytest.mark.parametrize(
    "column",
    [
        ["a", 1.5],  # a finite float after the switch: its text is the interpreter's
        [2**70, "a"],
        ["a", -(2**64)],
        ["a", Sub("b")],
        ["a", pd.NA],
        [decimal.Decimal("2.5"), "a"],
    ],
    ids=["float-after-text", "big-int-number", "big-int-text", "str-subclass", "pd-NA", "decimal"],
)
@pytest.mark.parametrize("where", ["first", "last"])
# At the bottom, the other columns have been read, and encoded, before the odd cells are met.
@pytest.mark.parametrize("rows", ["top", "bottom"])
def test_other_cells_send_the_table_the_plain_way(column, where, rows):
    n = 5_000
    rest = big_columns(n)
    fill = ["z"] * (n - len(column))
    odd = column + fill if rows == "top" else fill + column
    check_against_item_access(table(*([odd] + rest if where == "first" else rest + [odd])))
    # Numeric columns of a frame are read on the pool beside the others,
    # and are whole however the text columns are read.
    numbers = {"f": np.arange(n) / 3, "i": np.arange(n) - 7, "b": np.arange(n) % 3 == 0}
    odd_frame = {"odd": pd.Series(odd, dtype=object), "ids": pd.Series(rest[0], dtype=object)}
    df = pd.DataFrame(odd_frame | numbers if where == "first" else numbers | odd_frame)
    assert_same(dorvik.Encoder().encode(df).to_numpy(), dorvik.Encoder().encode(Items(df.to_numpy(dtype=object))))
