"""Decode dorvik codes on a local Dask cluster of worker processes.

The limit: every ``encode`` refits on the rows it is given, so encoding must
see the whole table (or a table holding the union of its texts) on one
machine. Encoders fitted on different parts number their texts differently,
and their codes cannot be mixed. Decoding can be spread: the fitted encoder
pickles to a compact byte string, goes to every worker once, and each worker
decodes its own partitions of the codes.

``decode`` numbers the rows of its result from 0 and keeps no index, so every
partition comes back indexed 0..k-1; resetting the index of the joined result
gives exactly what a local ``decode`` of the whole table gives.
"""

import os
import time

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster
from palmerpenguins import load_penguins_raw

import dorvik


def start_cluster(n_workers=2):
    """Worker processes on the loopback only, bounded waits."""
    cluster = LocalCluster(
        n_workers=n_workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        # The scheduler serves HTTP routes even without a dashboard: None
        # still takes port 8787 and ":0" listens on every interface.
        dashboard_address="127.0.0.1:0",
        timeout="60s",
    )
    try:
        client = Client(cluster, timeout="60s")
    except BaseException:
        cluster.close(timeout=30)
        raise
    return cluster, client


def decode_frame(enc, codes, npartitions):
    """Decode a DataFrame of codes partition by partition on the workers of
    the active client."""
    # Decoded text columns are object columns holding None for missing
    # texts; Dask would otherwise turn them into its own string dtype.
    with dask.config.set({"dataframe.convert-string": False}):
        parts = dd.from_pandas(codes, npartitions=npartitions, sort=False)
        # The fitted encoder travels inside the task graph, pickled; the
        # empty decode gives the result's columns and dtypes.
        out = parts.map_partitions(enc.decode, meta=enc.decode(codes.iloc[:0]))
        return out.compute().reset_index(drop=True)


def decode_array(enc, codes, chunk_rows):
    """Decode an ndarray of codes block by block with the active client."""
    blocks = da.from_array(codes, chunks=(chunk_rows, -1))
    out = blocks.map_blocks(enc.decode, dtype=object, meta=np.empty((0, 0), dtype=object))
    return out.compute()


def main(repeat=100, npartitions=8):
    df = pd.concat([load_penguins_raw()] * repeat, ignore_index=True)
    enc = dorvik.Encoder()
    codes = enc.encode(df)  # fitted on the whole table, on this machine
    print(f"encoded {len(df):,} rows x {df.shape[1]} columns (the penguins table x {repeat}) "
          "on the client")

    t = time.perf_counter()
    cluster, client = start_cluster()
    try:
        print(f"cluster of {len(client.scheduler_info()['workers'])} worker processes "
              f"started in {time.perf_counter() - t:.1f} s")

        t = time.perf_counter()
        spread = decode_frame(enc, codes, npartitions)
        took = time.perf_counter() - t
        local = enc.decode(codes)
        pd.testing.assert_frame_equal(spread, local, check_exact=True)
        print(f"DataFrame: {npartitions} partitions decoded on the workers in {took:.2f} s; "
              "equal to a local decode: yes")

        arr_codes = enc.encode(df.to_numpy(dtype=object))
        t = time.perf_counter()
        spread = decode_array(enc, arr_codes, -(-len(df) // npartitions))
        took = time.perf_counter() - t
        same = pd.DataFrame(spread).equals(pd.DataFrame(enc.decode(arr_codes)))
        print(f"ndarray: {npartitions} blocks decoded on the workers in {took:.2f} s; "
              f"equal to a local decode: {'yes' if same else 'NO'}")
        pids = sorted(client.run(os.getpid).values())
        print(f"worker processes: {pids} (this one: {os.getpid()})")
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)


if __name__ == "__main__":
    main()
