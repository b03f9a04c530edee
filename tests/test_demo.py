import contextlib
import importlib.util
import io
import pathlib
import re

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


@pytest.fixture(scope="module")
def output():
    spec = importlib.util.spec_from_file_location("demo", DEMO)
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        demo.main(repeat=3, runs=1)
    return out.getvalue()


@pytest.mark.parametrize(
    "line",
    [
        "numbers as float64: yes",
        "same codes as the DataFrame: yes",
        "numbers as Python floats: yes",
        "a restored copy decodes the same: yes",
        "-1 for missing: yes)",
        "penguins x 3",
    ],
)
def test_checks_pass(output, line):
    assert line in output
    assert not re.search(r"\bNO\b", output)


# Sizes and missing counts of the shipped table, read off the codes.
@pytest.mark.parametrize(
    "column, texts, missing",
    [("Species", 3, 0), ("Island", 3, 0), ("Individual ID", 190, 0), ("Sex", 2, 11), ("Comments", 10, 290)],
)
def test_dictionary_sizes(output, column, texts, missing):
    assert re.search(rf"^  {re.escape(column)} +{texts} +{missing} ", output, re.M)
