"""Encode a small table with dorvik, decode it again and show each step."""

import pickle
import time

import numpy as np
import pandas as pd

import dorvik


def main() -> None:
    # Object columns keep None as it is (a str column would turn it into NaN).
    df = pd.DataFrame(
        {
            "city": pd.Series(["Oslo", "Bergen", "Tromsø", "Oslo", "nan", "Bergen"], dtype=object),
            "kind": pd.Series(["café", "bar", None, "café", "<NA>", "bar"], dtype=object),
            "rating": [4.5, 3.0, 4.0, 5.0, 2.5, 3.5],
            "visits": [10, 3, 7, 12, 1, 4],
        }
    )
    print("input table:")
    print(df, "\n")

    enc = dorvik.Encoder()
    t = time.perf_counter()
    codes = enc.encode(df)
    took = time.perf_counter() - t
    print(f"encoded in {took * 1e3:.2f} ms; text columns become codes in byte order,")
    print('"nan" and "<NA>" are missing (NaN), None is the text "None", numbers pass through:')
    print(codes, "\n")

    back = enc.decode(codes)
    print("decoded again (missing texts come back as None):")
    print(back, "\n")
    same = all(
        a == b or (a is None and b in ("nan", "<NA>"))
        for col in ("city", "kind")
        for a, b in zip(back[col], df[col].map(str))
    )
    print("text columns survive the round trip:", "yes" if same else "NO", "\n")

    restored = pickle.loads(pickle.dumps(enc))
    print(f"the fitted encoder pickles to {len(enc.__getstate__())} bytes;")
    print("a restored copy decodes the same:", "yes" if restored.decode(codes).equals(back) else "NO", "\n")

    arr = df.to_numpy()
    arr_codes = enc.encode(arr)
    print("the same table as an object ndarray:")
    print(arr_codes)
    print(enc.decode(arr_codes))


if __name__ == "__main__":
    main()
