"""Many Python threads at once: each with its own encoder, and all sharing
one. Run in fresh processes, since the pool's size is fixed at first use."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

SCRIPT = r"""
import sys, threading, time
import numpy as np, pandas as pd
sys.path.insert(0, HERE)
import dorvik
from state import fit_of

sys.setswitchinterval(1e-5)
THREADS, ROUNDS = 8, 6

class Slow:
    # Sleeping inside str() lets the other threads run mid-call.
    def __init__(self, text):
        self.text = text
    def __str__(self):
        time.sleep(0.0002)
        return self.text

def table(seed, slow=False):
    rng = np.random.default_rng(seed)
    t = np.empty((3000, 3), dtype=object)
    t[:, 0] = [f"k{i}é" for i in rng.integers(0, 500, 3000)]
    t[:, 1] = rng.random(3000)
    t[:, 2] = [None if i % 9 == 0 else f"v{i % 40}" for i in rng.integers(0, 10**6, 3000)]
    if slow:
        t[::600, 0] = [Slow(f"s{seed}-{i}") for i in range(5)]
    return t

def expected(t):
    enc = dorvik.Encoder()
    codes = enc.encode(t)
    return codes, fit_of(enc), enc.decode(codes)

def same(a, b):
    return np.array_equal(a, b, equal_nan=True) if a.dtype != object else a.tolist() == b.tolist()

# Own encoders: every thread must get exactly the single-threaded results.
tables = [table(s) for s in range(THREADS)]
frames = [pd.DataFrame(t, columns=["a", "b", "c"]) for t in tables]
want = [expected(t) for t in tables]
want_frames = [dorvik.Encoder().encode(f) for f in frames]
bad = []

def own(i):
    enc = dorvik.Encoder()
    for _ in range(ROUNDS):
        codes = enc.encode(tables[i])
        if not (same(codes, want[i][0]) and fit_of(enc) == want[i][1] and same(enc.decode(codes), want[i][2])):
            bad.append(i)
        if not enc.encode(frames[i]).equals(want_frames[i]):
            bad.append(-i)
        enc.__setstate__(enc.__getstate__())

threads = [threading.Thread(target=own, args=(i,)) for i in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
assert not bad, bad

# One shared encoder: a call that finds another one running fails with its
# own RuntimeError and changes nothing; every other call completes whole.
slow_tables = [table(100 + s, slow=True) for s in range(THREADS)]
fits = [expected(t)[1] for t in slow_tables]
shared = dorvik.Encoder()
shared.encode(slow_tables[0])
conflicts, errors = [], []
MESSAGES = {"Already borrowed", "Already mutably borrowed"}

def user(i):
    state = STATE0
    for r in range(ROUNDS):
        for call in ("encode", "decode", "getstate", "setstate"):
            try:
                if call == "encode":
                    shared.encode(slow_tables[i])
                elif call == "decode":
                    shared.decode(np.zeros((2, 3)))
                elif call == "getstate":
                    state = shared.__getstate__()
                    if fit_of_state(state) not in fits:
                        errors.append("mixed state")
                else:
                    shared.__setstate__(state)
            except RuntimeError as exc:
                (conflicts if str(exc) in MESSAGES else errors).append(str(exc))
            except Exception as exc:
                errors.append(repr(exc))

from state import parse as fit_of_state
STATE0 = shared.__getstate__()
threads = [threading.Thread(target=user, args=(i,)) for i in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
assert not errors, errors[:5]
assert fit_of(shared) in fits
codes = shared.encode(tables[0])
assert same(shared.decode(codes), want[0][2])
print("ok", len(conflicts))
"""


@pytest.mark.parametrize("workers", ["1", "2", "3", "8"])
def test_threads_with_own_and_shared_encoders(workers):
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    proc = subprocess.run([sys.executable, "-c", SCRIPT.replace("HERE", repr(HERE))],
                          env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    ok, conflicts = proc.stdout.split()
    assert ok == "ok"
    # Sleeping cells make overlapping calls all but certain.
    assert int(conflicts) > 0
