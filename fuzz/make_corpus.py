"""Writes the seed corpus under fuzz/corpus/ (run with .venv's python; the
files are committed, so this only needs running again to change them).

state:  pickled states of encoders fitted on a few tables, made by the
        module itself; seeds the state reader and __setstate__.
engine: texts separated by 0xFF after a mode byte and a factor byte (see
        fuzz_engine.cpp).
encode: table inputs as checks.table_from_bytes reads them.
"""

import pathlib
import shutil

import numpy as np
import pandas as pd

import dorvik

HERE = pathlib.Path(__file__).resolve().parent


def obj(rows):
    return np.array(rows, dtype=object).reshape(len(rows), -1) if rows else np.empty((0, 1), object)


TABLES = {
    "empty": np.empty((0, 0), dtype=object),
    "no-text": np.array([[1.0, 2.0]], dtype=object),
    "no-rows": obj([]),
    "one-column": obj([["b"], ["a"], ["nan"]]),
    "several": np.array([["x", 1.0, "b"], ["y", 2.0, "a"], ["x", 3.0, "nan"]], dtype=object),
    "markers": np.array([["nan", "x"], ["NaN", "<NA>"], ["<NA>", ""]], dtype=object),
    "non-ascii": obj([["café"], ["日本語"], ["😀"], ["z"], ["é"]]),
    "frame": pd.DataFrame({"a": ["B", "a", "", "NAN"], "b": [1.5, 2.0, 3.0, 4.0],
                           "c": pd.Series([None, "ß", 2.5, "ﬁ"], dtype=object)}),
}

ENGINE = {
    "plain": b"\0\0b\xffa\xffb\xff\xff<NA>",
    "markers": b"\0\0nan\xffNaN\xff<NA>\xffnan\xffNAN",
    "bytes": b"\0\0z\xff\xc3\xa9\xff\x80\xff\x7f\xff\xfe\x00",
    "long-prefix": b"\0\0abcdefgh1\xffabcdefgh\xffabcdefgh0\xffabcdefg",
    "repeated": b"\x06\x05a\xffnan\xffb\xff",
    "variants": b"\x07\x01x\xffNaN\xffy",
    # Enough variants that the sort ranks bytes by a sample, which sees only
    # those of "b": every key of "a" has a byte it did not.
    "sampled": b"\x17\x01b\xffa",
    "shared": b"\x08\x02b\xffa\xffb\xffc",
    # The sort path given the prefixes a cell reader hands on: for one entry
    # per cell, and (odd factor) for entries that cells share.
    "prefixed": b"\x27\x01x\xffNaN\xffy",
    "shared-prefixed": b"\x0f\x03b\xffa\xffnan\xffc",
}

ENCODE = {
    "empty": b"",
    "one-text-column": b"\x13\x00" + b"\x00\x07" + b"\x00\x01" + b"\x00\x00",
    "mixed-array": bytes([0x34, 0]) + b"\x03\x05\x00\x00\x00\x08\x07\x00\x09\x06\x01\x03abc"
    + b"\x02\x02\x00\xd8\x00\x3d\xd8\x01\x04" + bytes(8) + b"\x05\x01\x00\x02\x00\x0d\x00\x0c",
    "numbers-then-text": bytes([0x14, 0]) + b"\x03\x01\x00\x04" + bytes(7) + b"\x3f\x05\x01\x06",
    "frame": bytes([0x23, 1]) + b"\x00\x0a\x07\x01\x02xy\x00\x12\x08\x03\x00\x01\x09",
}


def main():
    corpus = HERE / "corpus"
    shutil.rmtree(corpus, ignore_errors=True)
    for name in ("state", "engine", "encode"):
        (corpus / name).mkdir(parents=True)
    (corpus / "state" / "unfitted").write_bytes(dorvik.Encoder().__getstate__())
    for name, table in TABLES.items():
        enc = dorvik.Encoder()
        enc.encode(table)
        (corpus / "state" / name).write_bytes(enc.__getstate__())
    for name, data in ENGINE.items():
        (corpus / "engine" / name).write_bytes(data)
    for name, data in ENCODE.items():
        (corpus / "encode" / name).write_bytes(data)


if __name__ == "__main__":
    main()
