import pytest

import dorvik


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": "label"}), ((), {"encoding": None}),
     ((Text("label"),), {})],
)
def test_accepted_forms(args, kwargs):
    assert type(dorvik.Encoder(*args, **kwargs)) is dorvik.Encoder


@pytest.mark.parametrize(
    "text", ["Label", "LABEL", "", " label", "label ", "ordinal", "l\u00e4bel", "\ud800", Text("x")]
)
def test_unsupported_strategy(text):
    with pytest.raises(ValueError) as info:
        dorvik.Encoder(text)
    assert str(info.value) == f"{text} is not a supported encoding strategy for strings!"


def test_empty_strategy_message_starts_with_the_blank():
    with pytest.raises(ValueError, match="^ is not a supported"):
        dorvik.Encoder(encoding="")


@pytest.mark.parametrize("value", [1, 1.0, b"label", ["label"], object()])
def test_encoding_of_another_type(value):
    with pytest.raises(TypeError, match="encoding"):
        dorvik.Encoder(value)


@pytest.mark.parametrize(
    "args, kwargs",
    [(("label", "label"), {}), ((), {"strategy": "label"}), (("label",), {"encoding": "label"})],
)
def test_bad_argument_lists(args, kwargs):
    with pytest.raises(TypeError):
        dorvik.Encoder(*args, **kwargs)


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("encode", (), {}),
        ("encode", (1, 2), {}),
        ("encode", (), {"x": 1}),
        ("decode", (), {}),
        ("decode", (), {"obj": 1, "other": 2}),
        ("__getstate__", (1,), {}),
        ("__getstate__", (), {"x": 1}),
        ("__setstate__", (), {}),
        ("__setstate__", (b"", b""), {}),
    ],
)
def test_method_argument_errors(capfd, method, args, kwargs):
    with pytest.raises(TypeError):
        getattr(dorvik.Encoder(), method)(*args, **kwargs)
    assert capfd.readouterr().out == ""  # refused before any work


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_obj_by_keyword(method):
    import numpy as np

    a = np.eye(2)
    assert np.array_equal(getattr(dorvik.Encoder(), method)(obj=a), a)


@pytest.mark.parametrize("state", ["abc", bytearray(5), memoryview(b"\0" * 5), None, 5])
def test_setstate_wants_bytes(state):
    with pytest.raises(TypeError, match="state"):
        dorvik.Encoder().__setstate__(state)
