import importlib.util
import os
import pathlib

import numpy as np
import pandas as pd
import psutil
import pytest
from palmerpenguins import load_penguins_raw

import dorvik

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "dask_decode.py"
spec = importlib.util.spec_from_file_location("dask_decode", EXAMPLE)
dask_decode = importlib.util.module_from_spec(spec)
spec.loader.exec_module(dask_decode)


@pytest.fixture(scope="module")
def client():
    cluster, client = dask_decode.start_cluster()
    workers = [psutil.Process(p) for p in client.run(os.getpid).values()]
    try:
        yield client
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)
    # Closing must take the worker processes with it.
    gone, alive = psutil.wait_procs(workers, timeout=10)
    assert not alive, f"worker processes left behind: {[p.pid for p in alive]}"


@pytest.fixture(scope="module")
def table():
    df = pd.concat([load_penguins_raw()] * 3, ignore_index=True)
    # Labels that are not 0..n-1, so that an index slip shows.
    df.index = np.random.default_rng(7).permutation(len(df)) + 1000
    return df


def test_two_worker_processes_on_loopback_only(client):
    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    ours = pids | {os.getpid()}
    listening = [
        c.laddr for c in psutil.net_connections("tcp") if c.status == psutil.CONN_LISTEN and c.pid in ours
    ]
    assert listening and all(a.ip == "127.0.0.1" for a in listening), listening


@pytest.mark.parametrize("npartitions", [1, 5])
@pytest.mark.parametrize("keep_labels", [False, True])
def test_frame_decoded_on_workers_equals_local(client, table, npartitions, keep_labels):
    enc = dorvik.Encoder()
    codes = enc.encode(table)
    if keep_labels:
        codes.index = table.index
    got = dask_decode.decode_frame(enc, codes, npartitions)
    pd.testing.assert_frame_equal(got, enc.decode(codes), check_exact=True)


@pytest.mark.parametrize("chunk_rows", [100, 5000])
def test_array_decoded_on_workers_equals_local(client, table, chunk_rows):
    enc = dorvik.Encoder()
    codes = enc.encode(table.to_numpy(dtype=object))
    got = dask_decode.decode_array(enc, codes, chunk_rows)
    want = enc.decode(codes)
    assert got.shape == want.shape and got.dtype == object
    for g, w in zip(got.ravel(), want.ravel()):
        assert type(g) is type(w) and (g == w or (g != g and w != w))
