"""Time dorvik encode and decode against pandas, scikit-learn, polars and pyarrow.

Run through the wrapper, which builds dorvik and provides the peers:

    scripts/bench [--quick] [--repeat R] [--json PATH] [--no-rss] [--no-scaling]
                  [--workloads W1,W3]

Four workloads, each as a pandas DataFrame with object text columns (and the
same data as df.values for dorvik's ndarray path), each in two variants:
"shared" (equal texts are one str object, as from a pool) and "own" (every
cell its own str object). Every peer returns the float64 table dorvik
returns, so each side pays for the whole job, and its codes are checked
against dorvik's before anything is timed. Times are medians with the
collector off, the methods taking turns round after round, of the call
alone: its result is freed after the clock stops, and for decode that
freeing is timed too and shown apart. Ratios are peer / dorvik, so > 1 means
dorvik is faster.

Peak RSS growth is measured once per method, in a fresh process per
measurement; scaling runs W1 at 1, 2 and 4 million rows (in this process,
then again in one whose C library reuses all freed memory) and W1/W3 with
one and two worker threads.
"""

import argparse
import ctypes
import gc
import json
import multiprocessing
import os
import pickle
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.compute as pc
import sklearn
from sklearn.preprocessing import OrdinalEncoder

import dorvik

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_decode import as_texts  # noqa: E402
from bench_encode import SEED, make_frame, median_time, median_times, peer_encode  # noqa: E402

T0 = time.perf_counter()


def log(msg: str) -> None:
    print(f"[{time.perf_counter() - T0:7.1f}s] {msg}", flush=True)


# --------------------------------------------------------------------------
# Workloads

ASCII = list("abcdefghijklmnopqrstuvwxyz0123456789_")
# The three styles cover CPython's three string kinds, which reach UTF-8 by
# different routes: accented Latin is 1 byte per char in memory where it stays
# within Latin-1 (é: 2 bytes in UTF-8) and 2 bytes once it holds Latin
# Extended-A (ł); CJK is 2 bytes per char in memory, 3 in UTF-8.
LATIN = list("abcdefghijklmnopqrstuvwxyzàáâäçèéêëíîïñòóôöøùúûüýßæœłńśźżčšžőű")
CJK = [chr(c) for c in range(0x4E00, 0x4E00 + 3000)]
# Emoji are outside the BMP: 4 bytes per char in memory and in UTF-8.
EMOJI_MIX = ASCII[:26] + [chr(c) for c in range(0x1F600, 0x1F650)]


def word_pool(rng: np.random.Generator, k: int, styles: list[tuple[list[str], int, int]]) -> np.ndarray:
    """k distinct texts as an object array of str; each text picks one
    (alphabet, min length, max length) style and draws its characters from it."""
    words: dict[str, None] = {}
    while len(words) < k:
        alphabet, lo, hi = styles[rng.integers(len(styles))]
        chars = rng.integers(0, len(alphabet), size=rng.integers(lo, hi + 1))
        words["".join(alphabet[i] for i in chars)] = None
    return np.array(list(words), dtype=object)


def pooled_column(rng: np.random.Generator, pool: np.ndarray, n: int) -> pd.Series:
    # As bench_encode.text_column: every pool entry appears at least once, and
    # cells are references into the pool, so equal texts share one object.
    m = min(len(pool), n)
    idx = np.concatenate([np.arange(m), rng.integers(0, len(pool), size=n - m)])
    return pd.Series(pool[rng.permutation(idx)], dtype=object)


def make_wide(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(SEED + 2)
    return pd.DataFrame({f"c{j:02d}": pooled_column(rng, word_pool(rng, 50, [(ASCII, 3, 15)]), n)
                         for j in range(64)})


def make_tall(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(SEED + 3)
    return pd.DataFrame({"text": pooled_column(rng, word_pool(rng, 1_000, [(ASCII, 3, 15)]), n)})


def make_unicode(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(SEED + 4)
    styles = [(LATIN, 3, 14), (CJK, 2, 6), (EMOJI_MIX, 3, 10)]
    return pd.DataFrame({f"u{j}": pooled_column(rng, word_pool(rng, 10_000, styles), n)
                         for j in range(2)})


# name -> (builder, full-size rows)
WORKLOADS = {
    "W1 mixed": (make_frame, 1_000_000),
    "W2 wide": (make_wide, 100_000),
    "W3 tall": (make_tall, 5_000_000),
    "W4 unicode": (make_unicode, 1_000_000),
}


def text_columns(df: pd.DataFrame) -> list[str]:
    return [c for c in df.columns if df[c].dtype == object]


def own_variant(df: pd.DataFrame) -> pd.DataFrame:
    """The same table with every text cell a str object of its own."""
    own = df.copy()
    for c in text_columns(df):
        # Slicing and concatenating builds a new object even where CPython
        # would otherwise hand back a cached or interned one (every text is at
        # least 2 characters long, so neither piece is empty).
        cells = [s[:-1] + s[-1:] if isinstance(s, str) else s for s in df[c].tolist()]
        own[c] = pd.Series(np.array(cells, dtype=object), index=df.index, dtype=object)
    return own


def check_sharing(df: pd.DataFrame, variant: str) -> None:
    """Fail loudly if the variant is not what it claims to be."""
    for c in text_columns(df):
        sample = [s for s in df[c].iloc[:200_000].tolist() if isinstance(s, str)]
        objects, texts = len({id(s) for s in sample}), len(set(sample))
        want = texts if variant == "shared" else len(sample)
        if objects != want:
            raise SystemExit(f"{variant} variant broken in column {c}: "
                             f"{objects:,} objects for {texts:,} texts in {len(sample):,} cells")


# --------------------------------------------------------------------------
# Methods. Each prep_* function does the untimed set-up (a fitted decoder, the
# ndarray copy of the table) and returns the call that is timed.

def numeric_into(out: np.ndarray, df: pd.DataFrame) -> None:
    for j, (_, col) in enumerate(df.items()):
        if col.dtype != object:
            out[:, j] = col.to_numpy(dtype=np.float64)


def as_frame(out: np.ndarray, df: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame(out, index=df.index, columns=df.columns, copy=False)


def sklearn_encode(df: pd.DataFrame, text: list[str]) -> pd.DataFrame:
    out = np.empty(df.shape, dtype=np.float64, order="F")
    numeric_into(out, df)
    codes = OrdinalEncoder(dtype=np.float64, encoded_missing_value=np.nan).fit_transform(df[text])
    out[:, [df.columns.get_loc(c) for c in text]] = codes
    return as_frame(out, df)


def polars_encode(df: pd.DataFrame, text: list[str]) -> pd.DataFrame:
    # The conversion is timed too: the input is a pandas frame.
    frame = pl.from_pandas(df)
    # Dense rank of a String column is its code in sorted order; polars sorts
    # strings by their UTF-8 bytes (checked in check_byte_order). Missing
    # cells rank as null, which become NaN like dorvik's.
    exprs = [(pl.col(c).rank("dense") - 1).cast(pl.Float64).fill_null(float("nan"))
             if c in text else pl.col(c).cast(pl.Float64) for c in df.columns]
    return as_frame(frame.select(exprs).to_numpy(), df)


def pyarrow_codes(col: pd.Series) -> np.ndarray:
    # dictionary_encode numbers texts in order of first appearance; remap the
    # indices to sorted order through the inverse of the dictionary's sort
    # permutation. from_pandas makes np.nan cells null, and nulls survive
    # take and come out of to_numpy as NaN.
    enc = pc.dictionary_encode(pa.array(col, type=pa.string(), from_pandas=True))
    order = pc.sort_indices(enc.dictionary).to_numpy()
    rank = np.empty(len(order), dtype=np.float64)
    rank[order] = np.arange(len(order), dtype=np.float64)
    return pc.take(pa.array(rank), enc.indices).to_numpy(zero_copy_only=False)


def pyarrow_encode(df: pd.DataFrame, text: list[str]) -> pd.DataFrame:
    out = np.empty(df.shape, dtype=np.float64, order="F")
    numeric_into(out, df)
    for c in text:
        out[:, df.columns.get_loc(c)] = pyarrow_codes(df[c])
    return as_frame(out, df)


def prep_dorvik(df, text):
    return lambda: dorvik.Encoder().encode(df)


def prep_dorvik_ndarray(df, text):
    arr = df.values  # the ndarray path starts from an object array the caller has
    return lambda: dorvik.Encoder().encode(arr)


def prep_pandas(df, text):
    return lambda: peer_encode(df)


def prep_sklearn(df, text):
    return lambda: sklearn_encode(df, text)


def prep_polars(df, text):
    return lambda: polars_encode(df, text)


def prep_pyarrow(df, text):
    return lambda: pyarrow_encode(df, text)


def prep_cell_visit(df, text):
    # Lower bound for anything that reads the cells from Python objects.
    return lambda: [df[c].tolist() for c in text]


# Decoding is timed on the text columns alone for every side (the peers only
# ever encoded those), each from codes it produced itself, outside the timing.

def prep_decode_frame(df, text):
    enc = dorvik.Encoder()
    codes = enc.encode(df[text])
    return lambda: enc.decode(codes)


def prep_decode_ndarray(df, text):
    enc = dorvik.Encoder()
    codes = enc.encode(df[text]).to_numpy()
    return lambda: enc.decode(codes)


def prep_sklearn_inverse(df, text):
    oe = OrdinalEncoder(dtype=np.float64, encoded_missing_value=np.nan).fit(df[text])
    codes = oe.transform(df[text])
    return lambda: oe.inverse_transform(codes)


def prep_pandas_take(df, text):
    # As in bench_decode: take on the uniques' ndarray skips Index wrapping,
    # and no frame is assembled, so this is a lower bound for pandas.
    fact = [pd.factorize(df[c], sort=True) for c in text]
    fact = [(codes, np.asarray(u, dtype=object)) for codes, u in fact]
    return lambda: [pd.api.extensions.take(u, codes, allow_fill=True) for codes, u in fact]


ENCODE = {
    "dorvik": prep_dorvik,
    "dorvik ndarray": prep_dorvik_ndarray,
    "pandas": prep_pandas,
    "sklearn": prep_sklearn,
    "polars": prep_polars,
    "pyarrow": prep_pyarrow,
    "cell visit": prep_cell_visit,
}
DECODE = {
    "dorvik ->frame": prep_decode_frame,
    "dorvik ->ndarray": prep_decode_ndarray,
    "sklearn inverse": prep_sklearn_inverse,
    "pandas take": prep_pandas_take,
}
ENCODE_PEERS = ["pandas", "sklearn", "polars", "pyarrow"]
DECODE_PEERS = ["sklearn inverse", "pandas take"]


def dorvik_build() -> str:
    st = os.stat(dorvik.__file__)
    return f"{os.path.basename(dorvik.__file__)} {st.st_size} bytes, mtime {time.ctime(st.st_mtime)}"


def check_byte_order() -> bool:
    """Do polars and pyarrow sort strings by UTF-8 bytes, as dorvik does?"""
    texts = ["z", "é", "Z", "ä", "😀", "中", "\uffff", "ﬀ", "a", "", "aa", "a\x00"]
    want = sorted(texts, key=lambda s: s.encode())
    got_pl = pl.Series(texts).sort().to_list()
    arr = pa.array(texts)
    got_pa = pc.take(arr, pc.sort_indices(arr)).to_pylist()
    ok = got_pl == want and got_pa == want
    log(f"polars and pyarrow string sort is UTF-8 byte order: {'yes' if ok else 'NO'}"
        + ("" if ok else f" (want {want}, polars {got_pl}, pyarrow {got_pa})"))
    return ok


# --------------------------------------------------------------------------
# Checks

def encode_agreement(name: str, out, ref: np.ndarray, df: pd.DataFrame) -> str:
    """'agree', or which columns differ from dorvik's codes and how often."""
    got = out.to_numpy(dtype=np.float64) if isinstance(out, pd.DataFrame) else np.asarray(out, np.float64)
    if got.shape != ref.shape:
        return f"DIFFER: shape {got.shape} vs {ref.shape}"
    bad = []
    for j, c in enumerate(df.columns):
        # equal_nan: NaN positions must coincide and every other code match.
        if not np.array_equal(got[:, j], ref[:, j], equal_nan=True):
            same = (got[:, j] == ref[:, j]) | (np.isnan(got[:, j]) & np.isnan(ref[:, j]))
            bad.append(f"{c} ({int((~same).sum()):,} cells)")
    return "agree" if not bad else "DIFFER: " + ", ".join(bad)


def decoded_columns(out, text: list[str]) -> list:
    if isinstance(out, pd.DataFrame):
        return [out[c] for c in text]
    if isinstance(out, np.ndarray):
        return [out[:, j] for j in range(len(text))]
    return list(out)


def decode_agreement(out, df: pd.DataFrame, text: list[str]) -> str:
    # The reference is the input itself, so dorvik's round trip is checked too.
    bad = [c for c, col in zip(text, decoded_columns(out, text))
           if not np.array_equal(as_texts(col), as_texts(df[c]))]
    return "agree" if not bad else "DIFFER: " + ", ".join(bad)


# --------------------------------------------------------------------------
# One workload variant, timed in this process

def cpu_seconds() -> tuple[float, float]:
    """CPU time used by the whole machine, and by this process so far."""
    # /proc/stat's first line: user nice system idle iowait irq softirq ...
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:8]]
    machine = (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")
    me = resource.getrusage(resource.RUSAGE_SELF)
    return machine, me.ru_utime + me.ru_stime


def run_variant(label: str, df: pd.DataFrame, repeat: int) -> dict:
    text = text_columns(df)
    res: dict = {"encode_s": {}, "decode_s": {}, "decode_free_s": {}, "agree": {}}
    cpu_start = cpu_seconds()

    # One untimed run of each gives the outputs to check and warms the worker
    # pools, allocators and the str objects' cached UTF-8 (which every side
    # that reads UTF-8 benefits from alike).
    ref = None
    calls = {}
    for name, prep in ENCODE.items():
        calls[name] = prep(df, text)
        out = calls[name]()
        if name == "dorvik":
            ref = out.to_numpy(dtype=np.float64)
        elif name != "cell visit":
            res["agree"][name] = encode_agreement(name, out, ref, df)
        del out
    for name, prep in DECODE.items():
        calls[name] = prep(df, text)
        res["agree"][name] = decode_agreement(calls[name](), df, text)
    for name, verdict in res["agree"].items():
        if verdict != "agree":
            log(f"  {label}: {name} {verdict}")

    for kind, methods, key in (("encode", ENCODE, "encode_s"), ("decode", DECODE, "decode_s")):
        frees: dict[str, list[float]] = {}
        res[key] = median_times({name: calls[name] for name in methods}, repeat, frees)
        first = res[key][next(iter(methods))]  # dorvik's
        for name, t in res[key].items():
            freed = ""
            if kind == "decode":
                res["decode_free_s"][name] = statistics.median(frees[name])
                freed = f"  (+{res['decode_free_s'][name]:.3f} s to free the result)"
            log(f"  {label}: {kind} {name:<16}{t:8.3f} s  {t / first:6.2f}x dorvik{freed}")

    # Anything else running on this 2-core machine (a rebuild of dorvik, say)
    # skews every number; record how much CPU it took while this variant ran.
    machine, me = (b - a for a, b in zip(cpu_start, cpu_seconds()))
    res["other_cpu_s"] = max(0.0, machine - me)
    if res["other_cpu_s"] > 5:
        log(f"  {label}: WARNING other processes used {res['other_cpu_s']:.0f} CPU-seconds meanwhile")

    enc, dec = res["encode_s"], res["decode_s"]
    res["encode_ratio"] = {p: enc[p] / enc["dorvik"] for p in ENCODE_PEERS + ["dorvik ndarray"]}
    res["dorvik_over_cell_visit"] = enc["dorvik"] / enc["cell visit"]
    res["decode_ratio"] = {p: {"vs frame": dec[p] / dec["dorvik ->frame"],
                               "vs ndarray": dec[p] / dec["dorvik ->ndarray"]} for p in DECODE_PEERS}
    # The same, each side's time to free its result added to its call's.
    whole = {m: dec[m] + res["decode_free_s"][m] for m in DECODE}
    res["decode_ratio_with_free"] = {p: {"vs frame": whole[p] / whole["dorvik ->frame"],
                                         "vs ndarray": whole[p] / whole["dorvik ->ndarray"]}
                                     for p in DECODE_PEERS}
    return res


# --------------------------------------------------------------------------
# Fresh-process measurements

def reset_peak_rss() -> bool:
    """Make ru_maxrss start again from what the process holds now.

    Set-up (unpickling, the warm-up call, df.values) peaks above what it
    keeps, and a method that reuses that freed memory would show no growth:
    without this, col.tolist() measured 0 MB. So hand free heap memory back
    to the OS, then have the kernel reset the peak to the current RSS."""
    try:
        ctypes.CDLL(None).malloc_trim(0)  # glibc
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # Linux: reset the peak resident set size
        return True
    except (AttributeError, OSError):
        return False


def rss_child(path: str, kind: str, name: str) -> tuple[float, bool]:
    """Peak RSS growth in MB of one run of one method, set-up excluded, and
    whether the peak could be reset after the set-up."""
    with open(path, "rb") as f:
        df = pickle.load(f)
    prep = (ENCODE if kind == "encode" else DECODE)[name]
    text = text_columns(df)
    # A first call on a sliver of the table pays the one-time costs (worker
    # pools started, lazy imports, allocator arenas) that any long-running
    # user has already paid, so they do not count as the method's memory.
    prep(df.iloc[:1000], text)()
    call = prep(df, text)
    gc.collect()
    reset = reset_peak_rss()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    out = call()  # held until after the reading: the result counts as growth
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del out
    return (after - before) / 1024, reset  # ru_maxrss is in KiB on Linux


def measure_rss(path: str) -> dict:
    # A child started by exec (subprocess, or multiprocessing's spawn) begins
    # with ru_maxrss at least the parent's peak, which by now is gigabytes and
    # would hide the growth. Children forked by a forkserver start from the
    # server's small footprint. No preload: the server must not import dorvik
    # and fork with its worker threads running.
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload([])
    mb, all_reset = {}, True
    for kind, methods in (("encode", ENCODE), ("decode", DECODE)):
        for name in methods:
            with ctx.Pool(1) as p:
                mb[f"{kind} {name}"], reset = p.apply(rss_child, (path, kind, name))
            all_reset &= reset
    if not all_reset:
        log("  could not reset the peak after set-up: growth is a lower bound")
    return {"mb": mb, "peak_reset": all_reset}


def threads_child(path: str, repeat: int) -> None:
    with open(path, "rb") as f:
        df = pickle.load(f)
    # The first calls of a fresh process run up to six times as long, on 2
    # threads more than on 1: the kernel is slow to hand it memory it has not
    # used before (W3 took 0.15-0.3 s a call for its first 1.5 s, then 0.04-
    # 0.06). The main process is past that when it times; so is this one
    # after three seconds of untimed calls (which also start the worker pool).
    start, runs = time.perf_counter(), 0
    while runs < 3 or time.perf_counter() - start < 3.0:
        dorvik.Encoder().encode(df)
        runs += 1
    print(json.dumps(median_time(lambda: dorvik.Encoder().encode(df), repeat)))


def time_with_threads(path: str, threads: int, repeat: int) -> float:
    # The pool reads its size once, at start, so each count needs a process.
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--threads-child", path, "--repeat", str(repeat)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def time_scaling(scale: int, repeat: int) -> dict:
    """W1's encode at 1, 2 and 4 million rows: median wall time and the
    process's CPU time per call."""
    # The sizes take turns too, so that a slow spell of the machine does not
    # fall on one of them alone.
    frames = {rows: make_frame(rows) for rows in (1_000_000 // scale, 2_000_000 // scale, 4_000_000 // scale)}
    # The process's CPU time per call, both threads, split into user and
    # kernel time: on a virtual machine whose host takes back the memory a
    # process frees, the first write to fresh pages is kernel time that the
    # call's own work does not explain.
    cpu: dict[int, list[tuple[float, float]]] = {rows: [] for rows in frames}

    def encode_counted(rows: int, df: pd.DataFrame):
        before = resource.getrusage(resource.RUSAGE_SELF)
        out = dorvik.Encoder().encode(df)
        after = resource.getrusage(resource.RUSAGE_SELF)
        cpu[rows].append((after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime))
        return out

    calls = {rows: (lambda rows=rows, df=df: encode_counted(rows, df)) for rows, df in frames.items()}
    for call in calls.values():
        call()
    for runs in cpu.values():
        runs.clear()
    # Each round of the three takes seconds, so more rounds than the
    # workloads get cost little and steady the medians.
    times = median_times(calls, max(repeat, 9))
    return {"rows": times,
            "cpu": {rows: {"user_s": statistics.median(u for u, _ in runs),
                           "kernel_s": statistics.median(k for _, k in runs)} for rows, runs in cpu.items()}}


# Where a call's big blocks come from depends on what the process freed
# before: a block the C library can carve from its heap has its pages
# already, one it maps afresh has them cleared by the kernel at first write.
# In one process W1's 64 and 128 MB results mostly find heap memory and the
# 256 MB one never does. This C library setting makes every size reuse
# freed memory (no block is mapped on its own, the heap is never trimmed),
# which times the calls' own work alike at every size.
RECYCLED = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4294967296"


def time_scaling_recycled(scale: int, repeat: int) -> dict:
    env = dict(os.environ, GLIBC_TUNABLES=RECYCLED)
    out = subprocess.run([sys.executable, __file__, "--scaling-child", str(scale), "--repeat", str(repeat)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Report

def print_rows_scaling(sc: dict) -> None:
    base_rows, base_s = next(iter(sc["rows"].items()))
    cpu = sc.get("cpu", {})
    base_user = cpu[base_rows]["user_s"] if base_rows in cpu else None
    for rows, s in sc["rows"].items():
        line = f"  {int(rows):>10,} rows {s:8.3f} s   x{s / base_s:5.2f} time for x{int(rows) / int(base_rows):.0f} rows"
        if rows in cpu:
            c = cpu[rows]
            line += f"   user cpu {c['user_s']:6.3f} s (x{c['user_s'] / base_user:4.2f})   kernel {c['kernel_s']:6.3f} s"
        print(line)


def print_summary(results: dict) -> None:
    meta = results["meta"]
    print("\n" + "=" * 100)
    print(f"dorvik benchmark summary: python {meta['python']}, numpy {meta['numpy']}, pandas {meta['pandas']}, "
          f"scikit-learn {meta['sklearn']}, polars {meta['polars']}, pyarrow {meta['pyarrow']}")
    print(f"{meta['cpus']} cpus, median of {meta['repeat']} runs{', QUICK (1/10 rows)' if meta['quick'] else ''}; "
          "ratios are peer / dorvik (> 1: dorvik faster)")
    print(f"dorvik build: {meta['dorvik_build']}"
          + ("  (REINSTALLED during the run)" if meta.get("dorvik_reinstalled_during_run") else ""))

    print("\nENCODE (median s for dorvik; ratios for the rest)")
    head = f"{'workload':<22}{'dorvik s':>9}{'ndarray':>9}{'pandas':>9}{'sklearn':>9}{'polars':>9}" \
           f"{'pyarrow':>9}{'visit s':>9}{'dv/visit':>9}{'other':>7}  codes"
    print(head)
    for wname, w in results["workloads"].items():
        for vname, v in w["variants"].items():
            r, e = v["encode_ratio"], v["encode_s"]
            agree = [k for k in list(ENCODE) + list(DECODE) if k in v["agree"]]
            bad = [k for k in agree if v["agree"][k] != "agree"]
            print(f"{wname + ' / ' + vname:<22}{e['dorvik']:>9.3f}{r['dorvik ndarray']:>8.2f}x"
                  f"{r['pandas']:>8.2f}x{r['sklearn']:>8.2f}x{r['polars']:>8.2f}x{r['pyarrow']:>8.2f}x"
                  f"{e['cell visit']:>9.3f}{v['dorvik_over_cell_visit']:>8.2f}x{v['other_cpu_s']:>6.0f}s  "
                  f"{'all agree' if not bad else 'DIFFER: ' + ', '.join(bad)}")
    print("(ndarray: dorvik on df.values / dorvik on the DataFrame; dv/visit: dorvik / col.tolist() "
          "over the text columns;\n other: CPU-seconds other processes used while the variant ran)")

    print("\nDECODE, text columns only (median s; ratios peer / dorvik ->ndarray, "
          "all three return object arrays)")
    print(f"{'workload':<22}{'->frame s':>10}{'->ndarr s':>10}{'sklearn':>10}{'pd take':>10}"
          f"{'free s':>9}{'sklearn':>10}{'pd take':>10}")
    for wname, w in results["workloads"].items():
        for vname, v in w["variants"].items():
            d, r, rf = v["decode_s"], v["decode_ratio"], v["decode_ratio_with_free"]
            print(f"{wname + ' / ' + vname:<22}{d['dorvik ->frame']:>10.3f}{d['dorvik ->ndarray']:>10.3f}"
                  f"{r['sklearn inverse']['vs ndarray']:>9.2f}x{r['pandas take']['vs ndarray']:>9.2f}x"
                  f"{v['decode_free_s']['dorvik ->ndarray']:>9.3f}"
                  f"{rf['sklearn inverse']['vs ndarray']:>9.2f}x{rf['pandas take']['vs ndarray']:>9.2f}x")
    print("(the call alone, its result freed after the clock stops; free s: then freeing dorvik's ->ndarray\n"
          " result; the last two ratios count each side's call and free together)")

    rss = {w: v["rss"]["mb"] for w, v in results["workloads"].items() if "rss" in v}
    if rss:
        exact = all(v["rss"]["peak_reset"] for v in results["workloads"].values() if "rss" in v)
        print("\nPEAK RSS GROWTH, MB, one run in a fresh process, shared variant (set-up excluded, result included"
              + ("" if exact else "; peak NOT reset after set-up, so lower bounds") + ")")
        print(f"{'method':<24}" + "".join(f"{w:>12}" for w in rss))
        for n in next(iter(rss.values())):
            print(f"{n:<24}" + "".join(f"{mb[n]:>12.0f}" for mb in rss.values()))

    sc = results.get("scaling")
    if sc:
        print("\nSCALING, dorvik encode, W1 shared")
        print_rows_scaling(sc)
        if "recycled" in sc:
            print("  the same in a process whose C library maps no block on its own and keeps what is freed,"
                  "\n  so that no size's call writes to fresh memory:")
            print_rows_scaling(sc["recycled"])
        for w, t in sc["threads"].items():
            print(f"  {w:<10} RAYON_NUM_THREADS=1 {t['1']:7.3f} s   =2 {t['2']:7.3f} s   "
                  f"speed-up {t['1'] / t['2']:.2f}x")
    print(f"\ntotal wall time {results['meta']['wall_s'] / 60:.1f} min")


def plot(results: dict, path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = [(w, v) for w, wv in results["workloads"].items() for v in wv["variants"]]
    labels = [f"{w.split()[0]} {w.split()[1]}\n{v}" for w, v in groups]
    fig, axes = plt.subplots(2, 1, figsize=(14, 10))
    for ax, key, methods, title in (
        (axes[0], "encode_s", list(ENCODE), "encode"),
        (axes[1], "decode_s", list(DECODE), "decode (text columns only)"),
    ):
        width = 0.8 / len(methods)
        x = np.arange(len(groups))
        for i, m in enumerate(methods):
            ys = [results["workloads"][w]["variants"][v][key][m] for w, v in groups]
            ax.bar(x + (i - (len(methods) - 1) / 2) * width, ys, width, label=m)
        ax.set_xticks(x, labels)
        ax.set_yscale("log")
        lo, hi = ax.get_ylim()
        ax.set_ylim(lo, hi * 5)  # headroom so the legend does not cover the tallest bars
        ax.set_ylabel("median seconds (log)")
        ax.set_title(f"{title}, median of {results['meta']['repeat']} runs")
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(ncol=len(methods), fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------

def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="1/10 of the rows and 3 runs, for smoke tests")
    ap.add_argument("--repeat", type=int, help="runs per median (default 5, 3 with --quick)")
    ap.add_argument("--json", metavar="PATH", default=os.path.join(HERE, "out", "results.json"))
    ap.add_argument("--no-rss", action="store_true", help="skip the peak RSS measurements")
    ap.add_argument("--scaling", action=argparse.BooleanOptionalAction, default=True,
                    help="W1 at 1, 2, 4 M rows and W1/W3 with 1 and 2 threads (default on)")
    ap.add_argument("--workloads", default="W1,W2,W3,W4", help="comma-separated subset, e.g. W1,W3")
    ap.add_argument("--threads-child", metavar="PICKLE", help=argparse.SUPPRESS)
    ap.add_argument("--scaling-child", metavar="SCALE", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    if args.threads_child:
        threads_child(args.threads_child, repeat)
        return
    if args.scaling_child:
        print(json.dumps(time_scaling(args.scaling_child, repeat)))
        return

    scale = 10 if args.quick else 1
    out_dir = os.path.dirname(os.path.abspath(args.json))
    os.makedirs(out_dir, exist_ok=True)
    chosen = {w.strip() for w in args.workloads.split(",")}
    results = {"meta": {
        "python": platform.python_version(), "numpy": np.__version__, "pandas": pd.__version__,
        "sklearn": sklearn.__version__, "polars": pl.__version__, "pyarrow": pa.__version__,
        "cpus": os.cpu_count(), "repeat": repeat, "quick": args.quick, "seed": SEED,
        "byte_order_ok": check_byte_order(), "dorvik_build": dorvik_build(),
    }, "workloads": {}}

    with tempfile.TemporaryDirectory(prefix="dorvik-bench-") as tmp:
        pickles = {}
        for wname, (build, full_rows) in WORKLOADS.items():
            if wname.split()[0] not in chosen:
                continue
            rows = full_rows // scale
            t = time.perf_counter()
            df = build(rows)
            text = text_columns(df)
            log(f"{wname}: {rows:,} rows x {df.shape[1]} cols ({len(text)} text), "
                f"built in {time.perf_counter() - t:.1f}s")
            w = results["workloads"][wname] = {"rows": rows, "cols": df.shape[1], "text_cols": len(text),
                                               "distinct": {c: int(df[c].nunique()) for c in text},
                                               "variants": {}}
            check_sharing(df, "shared")
            w["variants"]["shared"] = run_variant(f"{wname}/shared", df, repeat)

            # The fresh processes read the table back rather than building it
            # again: unpickling keeps the shared objects shared and peaks far
            # lower than building does, so the baseline reading is honest.
            if not args.no_rss or args.scaling:
                pickles[wname] = os.path.join(tmp, wname.split()[0] + ".pickle")
                with open(pickles[wname], "wb") as f:
                    pickle.dump(df, f, protocol=pickle.HIGHEST_PROTOCOL)
            if not args.no_rss:
                log(f"{wname}: peak RSS, one fresh process per method")
                w["rss"] = measure_rss(pickles[wname])

            t = time.perf_counter()
            df = own_variant(df)
            check_sharing(df, "own")
            log(f"{wname}: own-object variant made in {time.perf_counter() - t:.1f}s")
            w["variants"]["own"] = run_variant(f"{wname}/own", df, repeat)
            del df

        if args.scaling:
            sc = results["scaling"] = {"threads": {}}
            sc.update(time_scaling(scale, repeat))
            for rows, t in sc["rows"].items():
                log(f"scaling: W1 {rows:,} rows {t:.3f} s, cpu {sc['cpu'][rows]}")
            sc["recycled"] = time_scaling_recycled(scale, repeat)
            for rows, t in sc["recycled"]["rows"].items():
                log(f"scaling, memory recycled: W1 {rows} rows {t:.3f} s, cpu {sc['recycled']['cpu'][rows]}")
            for wname in ("W1 mixed", "W3 tall"):
                if wname not in pickles:
                    continue
                sc["threads"][wname] = {str(n): time_with_threads(pickles[wname], n, repeat) for n in (1, 2)}
                log(f"scaling: {wname} threads {sc['threads'][wname]}")

    results["meta"]["wall_s"] = time.perf_counter() - T0
    # This process keeps the dorvik it imported, but the fresh processes load
    # whatever is installed when they start, and .venv is rebuilt by others.
    if dorvik_build() != results["meta"]["dorvik_build"]:
        results["meta"]["dorvik_reinstalled_during_run"] = True
        log("WARNING: dorvik was reinstalled during the run; the RSS and thread "
            "figures may come from a different build than the timings")
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)
    png = os.path.join(out_dir, "encode.png")
    plot(results, png)
    print_summary(results)
    print(f"wrote {args.json} and {png}")


if __name__ == "__main__":
    main()
