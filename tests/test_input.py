import numpy as np
import pandas as pd
import pytest

import dorvik
from conftest import FakeFrame, PanicException

UNSUPPORTED = [
    ([1.0, 2.0], "list"),
    ((1.0,), "tuple"),
    (None, "NoneType"),
    ("text", "str"),
    (np.eye(2).view(np.matrix), "matrix"),
    (pd.Series([1.0]), "Series"),
    (np.float64(1.0), "float64"),
]


@pytest.mark.parametrize("obj, name", UNSUPPORTED)
@pytest.mark.parametrize("method", ["encode", "decode"])
def test_unsupported_types(capfd, obj, name, method):
    with pytest.raises(TypeError) as info:
        getattr(dorvik.Encoder(), method)(obj)
    assert str(info.value) == (
        f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    )
    assert capfd.readouterr().out == name + "\n"


def test_unsupported_name_is_the_bare_type_name(capfd):
    class ndarray_like:  # noqa: N801
        pass

    ndarray_like.__qualname__ = "outer.Thing"
    ndarray_like.__name__ = "Thing"
    with pytest.raises(TypeError, match="'Thing'"):
        dorvik.Encoder().encode(ndarray_like())
    assert capfd.readouterr().out == "Thing\n"


def float_arrays():
    base = np.array([[1.5, -0.0, np.nan], [np.inf, -np.inf, 1e300]])
    yield "c", base
    yield "fortran", np.asfortranarray(base)
    yield "strided", np.arange(24.0).reshape(4, 6)[::2, ::-3]
    yield "empty-rows", np.empty((0, 3))
    yield "empty-cols", np.empty((3, 0))


@pytest.mark.parametrize("name, a", list(float_arrays()), ids=lambda x: x if isinstance(x, str) else "")
def test_float64_arrays_pass_through(enc, name, a):
    out = enc.encode(a)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == a.shape
    assert out is not a
    np.testing.assert_array_equal(out, a)
    assert np.array_equal(np.signbit(out), np.signbit(a))
    back = enc.decode(a)
    np.testing.assert_array_equal(back, a)


def test_float64_memmap(tmp_path, enc):
    m = np.memmap(tmp_path / "m.bin", dtype=np.float64, mode="w+", shape=(3, 2))
    m[:] = [[1, 2], [3, np.nan], [5, 6]]
    out = enc.encode(m)
    assert type(out) is np.ndarray
    np.testing.assert_array_equal(out, np.asarray(m))


def test_float64_input_is_not_changed(enc):
    a = np.array([[1.0, 2.0]])
    a.flags.writeable = False
    enc.encode(a)
    assert a.tolist() == [[1.0, 2.0]]


@pytest.mark.parametrize(
    "obj",
    [np.zeros(3), np.zeros((2, 2, 2)), np.zeros(0), np.zeros((1, 1, 1), dtype=object), np.array(1.0)],
    ids=["1d", "3d", "1d-empty", "3d-object", "0d"],
)
def test_other_dimensions_panic(capfd, enc, obj):
    with pytest.raises(PanicException) as info:
        enc.encode(obj)
    assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value")
    assert "internal failure" in capfd.readouterr().err


@pytest.mark.parametrize(
    "shape",
    [AttributeError("no shape"), [2, 2], (2,), (2, 2, 2), (-1, 2), (2, "2"), (2.0, 2), None],
)
def test_bad_shapes_panic(enc, shape):
    with pytest.raises(PanicException, match=r"^called `Result::unwrap\(\)` on an `Err` value"):
        enc.encode(FakeFrame(shape=shape))


def test_missing_values_panics_after_shape(enc):
    with pytest.raises(PanicException, match=r"^called `Result::unwrap\(\)` on an `Err` value"):
        enc.encode(FakeFrame(shape=(1, 1), values=None))


@pytest.mark.parametrize(
    "columns, error",
    [
        (KeyError("columns"), KeyError),
        (pd.Index([1.5, 2.5]), TypeError),
        (pd.Index(["a", 1], dtype=object), TypeError),
        (pd.Index([2**63]), OverflowError),
        (pd.Index([(1, 2)]), TypeError),
    ],
)
def test_label_errors_pass_through(enc, columns, error):
    with pytest.raises(error):
        enc.encode(FakeFrame(columns=columns))


def test_a_failed_encode_keeps_the_earlier_state(enc):
    # A float64 array leaves no fit; a failed call must not change that or
    # raise anything but its own error.
    enc.encode(np.eye(2))
    with pytest.raises(TypeError):
        enc.encode([1])
    np.testing.assert_array_equal(enc.decode(np.eye(2)), np.eye(2))
