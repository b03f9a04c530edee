"""Time dorvik.Encoder().encode on a mixed 1M-row DataFrame against pandas.

Run from the repository root:

    .venv/bin/python bench/bench_encode.py [--rows N] [--repeat R] [--json PATH]

The peer is pd.factorize(col, sort=True) per text column, assembled into the
same float64 frame dorvik returns, so both sides pay for the whole job. Two
floors are timed as well: df.values (what any ndarray-based route pays first)
and col.tolist() over the text columns (touching every cell from Python).
"""

import argparse
import gc
import json
import os
import platform
import statistics
import time

import numpy as np
import pandas as pd

import dorvik

SEED = 20240611


def hex_pool(rng: np.random.Generator, k: int) -> np.ndarray:
    """k distinct 16-char hex ids as an object array of str."""
    ids: dict[str, None] = {}
    while len(ids) < k:  # collisions in 2**64 are vanishingly rare, but be exact
        draw = rng.integers(0, 2**64, size=k - len(ids), dtype=np.uint64, endpoint=False)
        ids.update(dict.fromkeys(f"{x:016x}" for x in draw.tolist()))
    return np.array(list(ids)[:k], dtype=object)


def text_column(rng: np.random.Generator, n: int, k: int) -> np.ndarray:
    # Index into the pool rather than formatting per row: repeated values then
    # share one str object, as they do in data pandas has read or grouped.
    # Every pool entry appears at least once, so the column has exactly
    # min(k, n) distinct texts (a plain uniform draw of 1M from 900k would
    # only hit ~600k of them).
    pool = hex_pool(rng, k)
    m = min(k, n)
    idx = np.concatenate([np.arange(m), rng.integers(0, k, size=n - m)])
    return pool[rng.permutation(idx)]


def make_frame(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(SEED)
    cols: dict[str, np.ndarray] = {}
    for k in (10, 1_000, 100_000, int(0.9 * n)):
        k = max(1, min(k, n))  # name each column by what it really holds
        cols[f"txt_{k}"] = text_column(rng, n, k)
    with_nan = text_column(rng, n, 100)
    with_nan[rng.choice(n, size=n // 10, replace=False)] = np.nan  # exactly 10%
    cols["txt_100_nan"] = with_nan
    cols["f64"] = rng.standard_normal(n)
    cols["i64"] = rng.integers(-(10**9), 10**9, size=n, dtype=np.int64)
    cols["bool"] = rng.random(n) < 0.5
    # pandas 3 infers its own string dtype from str arrays; the benchmark is
    # about object columns, so pin them as they go in. Pinning afterwards with
    # astype(object) is not the same: where pyarrow is installed the inferred
    # dtype has copied the texts out, and astype then makes a new str for
    # every cell, losing the pool's shared objects.
    return pd.DataFrame({c: pd.Series(v, dtype=object) if c.startswith("txt_") else v
                         for c, v in cols.items()})


def peer_encode(df: pd.DataFrame) -> pd.DataFrame:
    # Fortran order keeps each column's writes contiguous, and pandas wraps
    # the (n, ncols) F-ordered block without copying it.
    out = np.empty(df.shape, dtype=np.float64, order="F")
    for j, (_, col) in enumerate(df.items()):
        if col.dtype == object:
            # No "nan"/"<NA>" texts in this data, so factorize's missing set
            # (np.nan, None) is dorvik's here.
            codes, _ = pd.factorize(col, sort=True)
            out[:, j] = codes
            out[codes < 0, j] = np.nan
        else:
            out[:, j] = col.to_numpy(dtype=np.float64)
    return pd.DataFrame(out, index=df.index, columns=df.columns, copy=False)


def median_times(fns: dict, repeat: int, frees: dict[str, list[float]] | None = None) -> dict[str, float]:
    # Like timeit: no collector pauses inside the timed region (the object
    # columns give it millions of objects to walk), but start each run clean.
    # The clock stops when the call returns. Freeing what it returned comes
    # later, when the caller drops it, and is timed apart into `frees`: for a
    # decode that makes new strs it is no small part of the cost.
    # The calls take turns, round after round, each round starting one
    # further along: this machine's speed drifts by a tenth over minutes,
    # which would otherwise land on whichever method was timed then.
    names = list(fns)
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_ in range(repeat):
        for k in range(len(names)):
            name = names[(round_ + k) % len(names)]
            gc.collect()
            gc.disable()
            try:
                t0 = time.perf_counter()
                out = fns[name]()
                t1 = time.perf_counter()
                del out
                if frees is not None:
                    frees.setdefault(name, []).append(time.perf_counter() - t1)
                times[name].append(t1 - t0)
            finally:
                gc.enable()
    return {name: statistics.median(ts) for name, ts in times.items()}


def median_time(fn, repeat: int) -> float:
    return median_times({"": fn}, repeat)[""]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--json", metavar="PATH")
    args = ap.parse_args()

    t0 = time.perf_counter()
    df = make_frame(args.rows)
    text = [c for c in df.columns if df[c].dtype == object]
    print(f"frame: {args.rows:,} rows x {df.shape[1]} cols "
          f"({len(text)} object text, {df.shape[1] - len(text)} numeric), "
          f"built in {time.perf_counter() - t0:.1f}s")
    print(f"python {platform.python_version()}, numpy {np.__version__}, "
          f"pandas {pd.__version__}, {os.cpu_count()} cpus, repeat {args.repeat}")

    # One untimed run each: warms the worker pool and allocator, and gives
    # the outputs to compare.
    ours = dorvik.Encoder().encode(df)
    theirs = peer_encode(df)

    print("\nagreement with pd.factorize(sort=True), text columns:")
    agree = {}
    for c in text:
        a = np.asarray(ours[c], dtype=np.float64)
        b = np.asarray(theirs[c], dtype=np.float64)
        # equal_nan: NaN positions must coincide and every other code match.
        agree[c] = bool(np.array_equal(a, b, equal_nan=True))
        print(f"  {c:<14} distinct {df[c].nunique():>9,}  "
              f"NaN {int(np.isnan(a).sum()):>7,}  {'agree' if agree[c] else 'DIFFER'}")
    all_agree = all(agree.values())
    print(f"  codes {'agree' if all_agree else 'DIFFER'} on all text columns")
    numeric = [c for c in df.columns if c not in text]
    same = np.array_equal(ours[numeric].to_numpy(np.float64), theirs[numeric].to_numpy(np.float64))
    print(f"  numeric columns {'pass through unchanged' if same else 'DIFFER'}")

    times = median_times({
        "dorvik encode": lambda: dorvik.Encoder().encode(df),
        "pandas factorize": lambda: peer_encode(df),
        "df.values": lambda: df.values,
        "text col.tolist()": lambda: [df[c].tolist() for c in text],
    }, args.repeat)
    ratio = times["pandas factorize"] / times["dorvik encode"]

    print(f"\n{'probe':<20}{'median s':>10}")
    for name, t in times.items():
        print(f"{name:<20}{t:>10.3f}")
    print(f"\npandas / dorvik: {ratio:.2f}x")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({
                "rows": args.rows, "repeat": args.repeat, "seed": SEED,
                "python": platform.python_version(), "numpy": np.__version__,
                "pandas": pd.__version__, "cpus": os.cpu_count(),
                "median_s": times, "pandas_over_dorvik": ratio,
                "agree": all_agree, "agree_by_column": agree,
            }, f, indent=2)
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
