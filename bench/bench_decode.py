"""Time dorvik.Encoder().decode on the bench_encode table against sklearn and pandas.

Run from the repository root:

    .venv/bin/python bench/bench_decode.py [--rows N] [--repeat R] [--json PATH]

dorvik is timed decoding the whole table (DataFrame and float64 ndarray
codes) and, to compare like for like with the peers, an encoder fitted on the
text columns alone. The peers decode only the text columns, from their own
codes, fitted outside the timing: sklearn OrdinalEncoder.inverse_transform
(object ndarray out) and, per column, the sorted pd.factorize uniques taken at
the codes (one object ndarray per column; no frame is assembled, so that
figure is a lower bound for pandas). Ratios are peer / dorvik text-only.

Needs scikit-learn, a peer that stays out of .venv: scripts/bench makes .venv-bench
with it, so run this as .venv-bench/bin/python bench/bench_decode.py [...].
"""

import argparse
import json
import os
import platform
import sys

import numpy as np
import pandas as pd
import sklearn
from sklearn.preprocessing import OrdinalEncoder

import dorvik

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_encode import SEED, make_frame, median_times  # noqa: E402  same table, same timer


def as_texts(a) -> np.ndarray:
    # The outputs disagree on how missing looks (None, "NaN", np.nan); dorvik
    # never yields "NaN" as a real text, so all three mean missing here.
    a = np.asarray(a, dtype=object)
    return np.where(pd.isna(a) | (a == "NaN"), None, a)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--json", metavar="PATH")
    args = ap.parse_args()

    df = make_frame(args.rows)
    text = [c for c in df.columns if df[c].dtype == object]
    print(f"frame: {args.rows:,} rows x {df.shape[1]} cols ({len(text)} object text)")
    print(f"python {platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}, "
          f"sklearn {sklearn.__version__}, {os.cpu_count()} cpus, repeat {args.repeat}")

    # Fitting is not what is timed: every side gets its codes up front.
    enc = dorvik.Encoder()
    codes_df = enc.encode(df)
    codes_arr = codes_df.to_numpy()
    assert codes_arr.dtype == np.float64
    enc_txt = dorvik.Encoder()
    txt_df = enc_txt.encode(df[text])
    txt_arr = txt_df.to_numpy()

    # Without encoded_missing_value the NaN category would get a code of its
    # own and come back as a category rather than through the missing path.
    oe = OrdinalEncoder(dtype=np.float64, encoded_missing_value=np.nan).fit(df[text])
    oe_codes = oe.transform(df[text])
    # factorize hands back an Index; take on its ndarray skips Index wrapping.
    fact = {c: pd.factorize(df[c], sort=True) for c in text}
    fact = {c: (codes, np.asarray(u, dtype=object)) for c, (codes, u) in fact.items()}

    def pandas_take():
        return [pd.api.extensions.take(u, codes, allow_fill=True) for codes, u in fact.values()]

    runs = {
        "dorvik table -> frame": lambda: enc.decode(codes_df),
        "dorvik table -> array": lambda: enc.decode(codes_arr),
        "dorvik text -> frame": lambda: enc_txt.decode(txt_df),
        "dorvik text -> array": lambda: enc_txt.decode(txt_arr),
        "sklearn inverse": lambda: oe.inverse_transform(oe_codes),
        "pandas take": pandas_take,
    }
    # One untimed run each warms pools and allocators and gives the outputs to check.
    out = {name: fn() for name, fn in runs.items()}

    # Reference: the input itself, so dorvik's round trip is checked too.
    ref = {c: as_texts(df[c]) for c in text}
    got = {
        "dorvik table -> frame": {c: out["dorvik table -> frame"][c] for c in text},
        "dorvik table -> array": {c: out["dorvik table -> array"][:, df.columns.get_loc(c)] for c in text},
        "dorvik text -> frame": {c: out["dorvik text -> frame"][c] for c in text},
        "dorvik text -> array": {c: out["dorvik text -> array"][:, j] for j, c in enumerate(text)},
        "sklearn inverse": {c: out["sklearn inverse"][:, j] for j, c in enumerate(text)},
        "pandas take": dict(zip(text, out["pandas take"])),
    }
    agree = {name: all(np.array_equal(as_texts(cols[c]), ref[c]) for c in text)
             for name, cols in got.items()}
    numeric = [j for j, c in enumerate(df.columns) if c not in text]
    numeric_ok = np.array_equal(out["dorvik table -> array"][:, numeric].astype(np.float64),
                                df.iloc[:, numeric].to_numpy(np.float64))

    times = median_times(runs, args.repeat)
    base = {k: times[f"dorvik text -> {k}"] for k in ("frame", "array")}
    ratios = {name: {k: times[name] / b for k, b in base.items()}
              for name in ("sklearn inverse", "pandas take")}

    print(f"\n{'probe':<24}{'median s':>10}{'/ text frame':>14}{'/ text array':>14}  texts")
    for name, t in times.items():
        r = ratios.get(name)
        cols = f"{r['frame']:>13.2f}x{r['array']:>13.2f}x" if r else " " * 28
        print(f"{name:<24}{t:>10.3f}{cols}  {'agree' if agree[name] else 'DIFFER'}")
    print(f"numeric columns of the array decode {'match the input' if numeric_ok else 'DIFFER'}")
    print("ratio > 1: dorvik text-only decode is faster than the peer")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({
                "rows": args.rows, "repeat": args.repeat, "seed": SEED,
                "python": platform.python_version(), "numpy": np.__version__,
                "pandas": pd.__version__, "sklearn": sklearn.__version__,
                "cpus": os.cpu_count(), "median_s": times, "peer_over_dorvik_text": ratios,
                "agree": agree, "numeric_ok": bool(numeric_ok),
            }, f, indent=2)
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
