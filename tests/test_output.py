"""The containers that encode and decode build: arrays, frames, labels."""

import numpy as np
import pandas as pd
import pytest

import dorvik
from conftest import FakeFrame


@pytest.mark.parametrize(
    "columns, labels",
    [
        (["b", "a", "é 😀"], ["b", "a", "é 😀"]),
        (pd.RangeIndex(3), ["0", "1", "2"]),
        (pd.Index([-5, 0, 2**63 - 1]), ["-5", "0", "9223372036854775807"]),
        (pd.Index([True, False, True], dtype=object), ["1", "0", "1"]),
    ],
)
def test_frame_labels_become_texts(enc, columns, labels):
    df = pd.DataFrame(np.arange(6.0).reshape(2, 3), columns=columns, index=[10, 20])
    out = enc.encode(df)
    assert type(out) is pd.DataFrame
    assert list(out.columns) == labels
    assert out.index.equals(pd.RangeIndex(2))  # the default index, whatever the input's
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(out.to_numpy(), df.to_numpy())


def test_frame_with_text_and_numbers(enc):
    df = pd.DataFrame(
        {"t": pd.Series(["b", None, "a"], dtype=object), "i": [1, 2, 3], "f": [0.5, np.nan, 2.0],
         "s": ["x", "y", "x"]}
    )
    out = enc.encode(df)
    # "None" < "a" < "b"
    np.testing.assert_array_equal(out.to_numpy(), [[2, 1, 0.5, 0], [0, 2, np.nan, 1], [1, 3, 2, 0]])
    assert list(out.columns) == ["t", "i", "f", "s"]


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_frames(enc, shape):
    df = pd.DataFrame(np.empty(shape, dtype=object), columns=[f"c{i}" for i in range(shape[1])])
    out = enc.encode(df)
    assert out.shape == shape and list(out.columns) == list(df.columns)
    assert (out.dtypes == np.float64).all()


@pytest.mark.parametrize("shape", [(0, 3), (3, 0)])
def test_empty_arrays(enc, shape):
    for a in (np.empty(shape), np.empty(shape, dtype=object)):
        out = enc.encode(a)
        assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == shape


def test_label_count_mismatch_is_pandas_own_error(enc):
    frame = FakeFrame(columns=["a", "b"], shape=(1, 1), values=np.array([[1.0]], dtype=object))
    with pytest.raises(ValueError):
        enc.encode(frame)
    # The failure came after input conversion, so the new (empty) fit stays.
    assert enc.__getstate__() == b"\1" + bytes(28)


def test_results_are_new_objects(enc):
    a = np.eye(2)
    out = enc.encode(a)
    out[0, 0] = 99
    assert a[0, 0] == 1
