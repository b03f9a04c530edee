"""Encode a small table with dorvik, decode it again and show each step."""

import numpy as np

import dorvik


def main() -> None:
    enc = dorvik.Encoder()
    table = np.array([[1.5, 2.0], [np.nan, -3.0], [4.25, 0.0]])
    codes = enc.encode(table)
    print("float64 table, encoded as it is (numbers pass through):")
    print(codes)
    back = enc.decode(codes)
    print("decoded again:", "equal" if np.array_equal(back, table, equal_nan=True) else "DIFFERENT")


if __name__ == "__main__":
    main()
