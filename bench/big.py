"""Big tables: peak memory against the size of input and output, and time
against the row count (no step may grow faster than the rows).

    .venv/bin/python bench/big.py [--rows 2000000] [--json PATH]

The table has 10 columns: six object text columns (10, 1,000, 100,000 and
one distinct text per row, one with 10% NaN, one of non-ASCII texts) and
float64, int64, bool and a second float64 column. --rows sets the largest
size (20,000,000 cells by default); it is also timed at 1/16 and 1/4 of it.
Each size runs in a fresh process, and peak RSS is the kernel's high-water
mark reset just before the call, so it counts the call alone.
"""

import argparse
import gc
import json
import subprocess
import sys
import time

import numpy as np
import pandas as pd

import dorvik

COLUMNS = 10


def make_table(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)

    def texts(k: int, fmt: str) -> np.ndarray:
        pool = np.array([fmt.format(i) for i in range(min(k, n))], dtype=object)
        return pool[rng.integers(0, len(pool), size=n)]

    with_nan = texts(100, "grp{:03d}")
    with_nan[rng.choice(n, size=n // 10, replace=False)] = np.nan
    cols = {
        "t10": texts(10, "cat{}"),
        "t1k": texts(1_000, "item-{:05d}"),
        "t100k": texts(100_000, "user-{:08d}"),
        "t_unique": np.array([f"id{i:012x}" for i in rng.permutation(n)], dtype=object),
        "t_nan": with_nan,
        "t_utf8": texts(5_000, "städte-{}-東京"),
        "f64": rng.standard_normal(n),
        "i64": rng.integers(-(10**9), 10**9, size=n),
        "bool": rng.random(n) < 0.5,
        "f64b": rng.random(n),
    }
    return pd.DataFrame({c: pd.Series(v, dtype=object) if c.startswith("t") else v for c, v in cols.items()})


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def measured(call):
    gc.collect()
    base = status_kb("VmRSS")
    reset_peak()
    t = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - t
    return result, seconds, (status_kb("VmHWM") - base) * 1024


def one_size(n: int) -> dict:
    df = make_table(n)
    input_bytes = int(df.memory_usage(deep=True).sum())
    enc = dorvik.Encoder()
    codes, t_enc, peak_enc = measured(lambda: enc.encode(df))
    codes_bytes = codes.to_numpy().nbytes
    state_bytes = len(enc.__getstate__())
    back, t_dec, peak_dec = measured(lambda: enc.decode(codes))
    # The round trip must hold: texts back, NaN cells as None in a frame.
    for c in df.columns[:6]:
        want = df[c].where(df[c].notna(), None).tolist()
        assert back[c].tolist() == want, c
    return {"rows": n, "cells": n * COLUMNS, "input_bytes": input_bytes, "codes_bytes": codes_bytes,
            "state_bytes": state_bytes, "encode_s": t_enc, "encode_peak_bytes": peak_enc,
            "decode_s": t_dec, "decode_peak_bytes": peak_dec}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--json")
    ap.add_argument("--one", type=int, help=argparse.SUPPRESS)  # child process
    args = ap.parse_args()
    if args.one:
        print(json.dumps(one_size(args.one)))
        return
    results = []
    for n in (args.rows // 16, args.rows // 4, args.rows):
        out = subprocess.run([sys.executable, __file__, "--one", str(n)], capture_output=True, text=True,
                             check=True)
        results.append(json.loads(out.stdout))
    mb = 2**20
    print(f"{'rows':>10} {'cells':>11} {'input MB':>9} {'codes MB':>9} {'encode s':>9} {'peak MB':>8}"
          f" {'peak/in':>8} {'decode s':>9} {'peak MB':>8} {'peak/in':>9}")
    for r in results:
        print(f"{r['rows']:>10,} {r['cells']:>11,} {r['input_bytes'] / mb:>9.0f} {r['codes_bytes'] / mb:>9.0f}"
              f" {r['encode_s']:>9.2f} {r['encode_peak_bytes'] / mb:>8.0f}"
              f" {r['encode_peak_bytes'] / r['input_bytes']:>8.2f} {r['decode_s']:>9.2f}"
              f" {r['decode_peak_bytes'] / mb:>8.0f} {r['decode_peak_bytes'] / r['input_bytes']:>9.2f}")
    first = results[0]
    for r in results[1:]:
        k = r["rows"] / first["rows"]
        print(f"{k:.0f}x rows: encode {r['encode_s'] / first['encode_s']:.1f}x time, "
              f"decode {r['decode_s'] / first['decode_s']:.1f}x time")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
