"""Every Python example in the README runs and its assertions hold."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


def test_readme_has_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example(code):
    exec(compile(code, str(README), "exec"), {"__name__": "readme"})  # noqa: S102
