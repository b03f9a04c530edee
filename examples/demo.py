"""Encode a real table with dorvik, decode it again and time it against pandas.

The table is the raw Palmer penguins data (344 rows, 17 columns) that the
palmerpenguins package ships in its wheel, so nothing is downloaded.
"""

import argparse
import os
import pickle
import statistics
import time

import numpy as np
import pandas as pd
from palmerpenguins import load_penguins_raw

import dorvik


def short(text, width=34):
    text = repr(text)
    return text if len(text) <= width else text[: width - 4] + "...'"


def same_cells(a, b):
    """Cell by cell, type included: 1 and 1.0 differ, NaN equals NaN."""
    if a.shape != b.shape:
        return False
    for x, y in zip(a.ravel(), b.ravel()):
        if type(x) is not type(y):
            return False
        if not (x == y or (x != x and y != y)):
            return False
    return True


def median_ms(fn, runs):
    fn()  # first call warms the worker pool and the caches
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e3


def factorize_all(df, text_cols):
    return [pd.factorize(df[c], sort=True)[0] for c in text_cols]


def main(repeat=1000, runs=5):
    df = load_penguins_raw()
    text_cols = [c for c in df.columns if not pd.api.types.is_numeric_dtype(df[c])]
    num_cols = [c for c in df.columns if c not in text_cols]
    print(f"Palmer penguins, raw table: {df.shape[0]} rows x {df.shape[1]} columns")
    print(f"  {len(text_cols)} text columns, loaded as dtype {df[text_cols[0]].dtype!r};")
    print(f"  {len(num_cols)} numeric columns: {', '.join(num_cols)}\n")

    enc = dorvik.Encoder()
    codes = enc.encode(df)
    print("Codes, first 5 rows (one line per column):")
    with pd.option_context("display.width", 120):
        print(codes.head().T.to_string(float_format=lambda v: f"{v:g}"), "\n")

    # The codes themselves give the dictionary sizes: they are dense, 0..n-1.
    print("Text columns: distinct texts, missing cells, and the ends of the byte order")
    print(f"  {'column':<18} {'texts':>5} {'missing':>7}  {'code 0':<34} last code")
    back = enc.decode(codes)
    for c in text_cols:
        n = codes[c].nunique()
        assert codes[c].max() == n - 1
        first = back[c][codes[c] == 0].iloc[0]
        last = back[c][codes[c] == n - 1].iloc[0]
        print(f"  {c:<18} {n:>5} {codes[c].isna().sum():>7}  {short(first):<34} {short(last)}")
    print()

    # What decode gives back: texts as they were, None where a text cell was
    # missing, numbers as float64 (the int column too).
    expected = df.astype({c: float for c in num_cols}).astype({c: object for c in text_cols})
    for c in text_cols:
        expected[c] = expected[c].where(df[c].notna(), None)
    ok_df = back.equals(expected) and all(back.dtypes == expected.dtypes)
    print("DataFrame round trip: decode(encode(df)) equals df, missing texts as None,")
    print("  numbers as float64:", "yes" if ok_df else "NO")

    arr = df.to_numpy(dtype=object)
    arr_codes = enc.encode(arr)
    same_codes = np.array_equal(arr_codes, codes.to_numpy(), equal_nan=True)
    arr_back = enc.decode(arr_codes)
    arr_expected = arr.copy()
    text_idx = [df.columns.get_loc(c) for c in text_cols]
    for j in range(arr.shape[1]):
        for i in range(arr.shape[0]):
            v = arr[i, j]
            if j in text_idx:
                arr_expected[i, j] = "NaN" if v is None or v != v else v
            else:
                arr_expected[i, j] = float(v)
    ok_arr = same_cells(arr_back, arr_expected)
    print("Object ndarray (df.to_numpy(dtype=object)): same codes as the DataFrame:",
          "yes" if same_codes else "NO")
    print('ndarray round trip: equals the input, missing texts as the text "NaN",')
    print("  numbers as Python floats:", "yes" if ok_arr else "NO")
    print()

    # Refit on the DataFrame so that the pickled state is the one shown above.
    enc.encode(df)
    blob = pickle.dumps(enc)
    restored = pickle.loads(blob)
    ok_pickle = restored.decode(codes).equals(back)
    print(f"Pickle: the fitted encoder is {len(blob):,} bytes pickled "
          f"({len(enc.__getstate__()):,} bytes of state);")
    print("  a restored copy decodes the same:", "yes" if ok_pickle else "NO")
    print()

    # pandas' codes are the same numbers, with -1 for missing.
    agree = all(
        np.array_equal(np.where(p < 0, np.nan, p), codes[c].to_numpy(), equal_nan=True)
        for c, p in zip(text_cols, factorize_all(df, text_cols))
    )
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    # The small table takes under a millisecond: more runs steady its median.
    small_runs = 5 * runs
    print(f"Encode time, median of {small_runs} runs ({runs} for the larger table) "
          f"after one warm-up, {cores} cores:")
    print(f"  dorvik: encode(df), all {df.shape[1]} columns into one float64 DataFrame;")
    print(f"  pandas: factorize(sort=True) of each of the {len(text_cols)} text columns, "
          "times added up")
    print("  (pandas' codes equal dorvik's, -1 for missing:", "yes)" if agree else "NO)")
    tables = [("penguins", df, small_runs)]
    if repeat > 1:
        big = pd.concat([df] * repeat, ignore_index=True)
        tables.append((f"penguins x {repeat:,}", big, runs))
    print(f"  {'table':<18} {'rows':>9} {'dorvik':>10} {'pandas':>10}  pandas/dorvik")
    for name, t, n in tables:
        ours = median_ms(lambda: enc.encode(t), n)
        theirs = median_ms(lambda: factorize_all(t, text_cols), n)
        print(f"  {name:<18} {len(t):>9,} {ours:>7.2f} ms {theirs:>7.2f} ms  {theirs / ours:>8.1f}x")
    if repeat > 1:
        print(f"  (the larger table is the real one stacked {repeat:,} times: same texts,"
              " same dictionaries)")


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=1000, help="copies of the table to time")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per measurement")
    args = ap.parse_args()
    main(args.repeat, args.runs)
