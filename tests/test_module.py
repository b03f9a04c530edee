import pickle
import sys

import pytest

import dorvik
from conftest import PanicException


def test_module_has_only_the_encoder():
    own = {k for k in vars(dorvik) if not k.startswith("__")}
    assert own == {"Encoder"}
    assert dorvik.__doc__ and "\n" not in dorvik.__doc__.strip()


def test_encoder_type_properties():
    E = dorvik.Encoder
    assert E.__name__ == "Encoder"
    assert E.__module__ == "dorvik"
    assert E.__text_signature__ == "(encoding=None)"
    assert not E.__doc__  # the signature block is all there is
    assert E.__bases__ == (object,)
    assert [m for m in ("encode", "decode", "__getstate__", "__setstate__") if m in E.__dict__] == [
        "encode",
        "decode",
        "__getstate__",
        "__setstate__",
    ]
    with pytest.raises(TypeError):

        class Sub(E):  # noqa: F841
            pass

    enc = E()
    assert not hasattr(enc, "__dict__")
    with pytest.raises(AttributeError):
        enc.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(enc)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("encode", "($self, obj)"),
        ("decode", "($self, obj)"),
        ("__getstate__", "($self)"),
        ("__setstate__", "($self, state)"),
    ],
)
def test_method_text_signatures(name, signature):
    method = getattr(dorvik.Encoder, name)
    assert method.__text_signature__ == signature
    assert not method.__doc__


def test_type_is_created_once():
    import importlib.util

    spec = importlib.util.find_spec("dorvik")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.Encoder is dorvik.Encoder


def test_panic_exception_is_a_base_exception():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "dorvik"
    assert PanicException.__doc__


def test_gil_stays_disabled_on_free_threaded_builds():
    if hasattr(sys, "_is_gil_enabled") and sysconfig_gil_disabled():
        assert not sys._is_gil_enabled()


def sysconfig_gil_disabled():
    import sysconfig

    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_class_pickles_by_reference():
    assert pickle.loads(pickle.dumps(dorvik.Encoder)) is dorvik.Encoder
