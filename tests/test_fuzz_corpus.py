"""Replays the committed fuzz corpus through the Python API, with the checks
the atheris harness makes (fuzz/checks.py), so that every seed and every
input that once failed stays covered without a fuzzer."""

import pathlib

import pytest

import checks

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"


def files(target):
    return pytest.mark.parametrize("path", sorted((CORPUS / target).iterdir()), ids=lambda p: p.name)


@files("state")
def test_state_corpus(path):
    checks.check_setstate(path.read_bytes())


@files("encode")
def test_encode_corpus(path):
    checks.check_encode(checks.table_from_bytes(path.read_bytes()))
