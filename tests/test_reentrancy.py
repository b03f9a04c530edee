"""Python code that runs in the middle of a call: cells whose conversions
call back into the encoder, change the table being read or raise, and
DataFrame-named objects that misbehave. Each call ends in its result or its
own exception, and the encoder's fit is never left half-changed."""

import warnings

import numpy as np
import pytest

import dorvik
from conftest import FakeFrame, PanicException
from state import fit_of
from test_borrow import NESTED

# What a call made from inside encode or decode meets.
CONFLICT = {
    "encode": {"encode": "Already borrowed", "__setstate__": "Already borrowed",
               "decode": "Already mutably borrowed", "__getstate__": "Already mutably borrowed"},
    "decode": {"encode": "Already borrowed", "__setstate__": "Already borrowed",
               "decode": None, "__getstate__": None},
}


class Hook:
    """A cell whose conversion calls `nested` on `enc`, records the outcome,
    then returns `value` or raises."""

    def __init__(self, enc, nested, value, fail=False):
        self.enc, self.nested, self.value, self.fail = enc, nested, value, fail
        self.seen = []

    def run(self):
        try:
            NESTED[self.nested](self.enc)
            self.seen.append(None)
        except RuntimeError as exc:
            self.seen.append(str(exc))
        if self.fail:
            raise ArithmeticError("hook")
        return self.value


class StrHook(Hook):
    def __str__(self):
        return self.run()


class FloatHook(Hook):
    def __float__(self):
        return self.run()

    def __str__(self):
        return "hook"


class IndexHook(Hook):
    def __index__(self):
        return self.run()

    def __str__(self):
        return "hook"


HOOKS = {  # hook: (class, value returned, whether the cell follows a text)
    "__str__": (StrHook, "b", True),
    "__float__": (FloatHook, 2.5, False),
    "__index__": (IndexHook, 3, False),
}


def table_with(cell, after_text):
    first = "a" if after_text else 1.0
    return np.array([[first, "x"], [cell, "y"]], dtype=object)


@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("hook", HOOKS)
def test_callback_from_a_cell_during_encode(hook, nested):
    enc = dorvik.Encoder()
    enc.encode(np.array([["old"]], dtype=object))
    kind, value, after_text = HOOKS[hook]
    cell = kind(enc, nested, value)
    out = enc.encode(table_with(cell, after_text))
    assert cell.seen == [CONFLICT["encode"][nested]]
    expected_col0 = [0.0, 1.0] if after_text else [1.0, float(value)]
    np.testing.assert_array_equal(out, [[expected_col0[0], 0.0], [expected_col0[1], 1.0]])
    back = enc.decode(out)
    assert back[1, 0] == (value if after_text else float(value))


@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("hook", HOOKS)
def test_failing_callback_from_a_cell_keeps_the_fit(hook, nested):
    enc = dorvik.Encoder()
    enc.encode(np.array([["old"]], dtype=object))
    before = fit_of(enc)
    kind, value, after_text = HOOKS[hook]
    cell = kind(enc, nested, value, fail=True)
    if hook == "__str__":
        with pytest.raises(PanicException, match="^cant convert to str"):
            enc.encode(table_with(cell, after_text))
        assert fit_of(enc) == before
    else:
        # A failed number conversion is no error: the column turns to text.
        out = enc.encode(table_with(cell, after_text))
        assert enc.decode(out)[1, 0] == "hook"
    assert cell.seen == [CONFLICT["encode"][nested]]


@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("hook", ["__float__", "__index__"])
def test_callback_from_a_code_during_decode(hook, nested):
    enc = dorvik.Encoder()
    enc.encode(np.array([["a"], ["b"]], dtype=object))
    before = fit_of(enc)
    cell = HOOKS[hook][0](enc, nested, 1)
    back = enc.decode(np.array([[0.0], [cell]], dtype=object))
    assert back.tolist() == [["a"], ["b"]]
    assert cell.seen == [CONFLICT["decode"][nested]]
    assert fit_of(enc) == before


class Rewriter:
    """A cell whose str() rewrites the table it is read from: every other
    cell is replaced by a new object, which drops the table's last reference
    to the one before."""

    def __init__(self, table):
        self.table = table

    def __str__(self):
        for (r, c), _ in np.ndenumerate(self.table):
            if self.table[r, c] is not self:
                self.table[r, c] = "".join(["new", str(r), str(c)])
        return "self"


def fresh(text):
    return "".join(list(text))  # a str object nothing else holds


@pytest.mark.parametrize("repeat", [1, 3000], ids=["small", "caches-on"])
def test_cells_replaced_while_reading(repeat):
    # Cells read before the rewrite keep their texts; later ones are read as
    # they are when their turn comes.
    n = 4 * repeat
    table = np.empty((n, 2), dtype=object)
    table[:, 0] = [fresh(f"é{i % 7}" if i % 2 else f"o{i % 5}") for i in range(n)]
    table[:, 1] = [fresh(f"t{i % 3}") for i in range(n)]
    mid = n // 2
    table[mid, 0] = Rewriter(table)
    expected = [table[r, 0] for r in range(mid)] + ["self"]
    expected += [f"new{r}0" for r in range(mid + 1, n)]
    expected = np.array([expected, [f"new{r}1" for r in range(n)]], dtype=object).T
    enc = dorvik.Encoder()
    out = enc.encode(table)
    assert enc.decode(out).tolist() == expected.tolist()


class Shrinker:
    """A cell whose str() reshapes the array it is read from."""

    def __init__(self, table):
        self.table = table

    def __str__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # still allowed
            self.table.shape = (1, self.table.size)
        return "s"


def test_array_reshaped_while_reading():
    table = np.array([["a", "b"], [None, "c"], ["d", "e"]], dtype=object)
    table[0, 0] = Shrinker(table)
    enc = dorvik.Encoder()
    enc.encode(np.array([["old"]], dtype=object))
    before = fit_of(enc)
    with pytest.raises(PanicException, match=r"^called `Result::unwrap\(\)` on an `Err` value"):
        enc.encode(table)
    assert fit_of(enc) == before


class Frame(FakeFrame):
    """A DataFrame-named object whose `values` runs code first."""

    def __init__(self, values, on_values, **kw):
        super().__init__(values=values, **kw)
        self.on_values = on_values

    @property
    def values(self):
        return self.on_values(self._values)


Frame.__name__ = "DataFrame"


def raise_(exc):
    raise exc


UNWRAP = (PanicException, "called `Result::unwrap()` on an `Err` value")
FRAMES = {
    # name: (shape, values callback, expected codes or (exception, message start))
    "values raises": ((2, 1), lambda v: raise_(ValueError("values")), UNWRAP),
    "values smaller than shape": ((3, 1), lambda v: v, UNWRAP),
    "values is a list": ((2, 1), lambda v: v.tolist(), UNWRAP),
    "values is the only reference": ((2, 1), lambda v: v.copy(), [[1.0], [0.0]]),
    "values wider than shape": ((2, 1), lambda v: np.array([["a", "z"], ["b", "y"]], dtype=object),
                                [[0.0], [1.0]]),
}


@pytest.mark.parametrize("case", FRAMES)
def test_misbehaving_frames(case):
    shape, on_values, expected = FRAMES[case]
    enc = dorvik.Encoder()
    enc.encode(np.array([["old"]], dtype=object))
    before = fit_of(enc)
    frame = Frame(np.array([["b"], ["a"]], dtype=object), on_values, columns=["c"], shape=shape)
    if isinstance(expected, list):
        out = enc.encode(frame)
        np.testing.assert_array_equal(out.to_numpy(), expected)
        assert list(out.columns) == ["c"]
    else:
        exc, message = expected
        with pytest.raises(exc) as info:
            enc.encode(frame)
        assert str(info.value).startswith(message)
        assert fit_of(enc) == before
