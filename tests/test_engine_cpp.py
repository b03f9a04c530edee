"""Parts free of Python (of the column engine, and the mapping of fresh
memory) that only a C++ program can reach at a size a test affords, or see
as it does, built from the sources with the C++ compiler at hand."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


@pytest.mark.skipif(compiler() is None, reason="no C++ compiler")
@pytest.mark.parametrize("check", ["text_table", "block_reuse", "fault_in"])
def test_engine_check(tmp_path, check):
    exe = tmp_path / check
    build = [compiler(), "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
             "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
             "-I", str(ROOT / "src"), str(ROOT / "tests" / "cpp" / f"{check}.cpp"),
             # Big engine buffers map their pages as they are made.
             str(ROOT / "src" / "engine" / "fault_in.cpp"), "-o", str(exe)]
    built = subprocess.run(build, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    # The sanitizer run preloads its runtime into Python; this program links its own.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    run = subprocess.run([str(exe)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
