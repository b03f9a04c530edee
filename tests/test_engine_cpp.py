"""Parts free of Python (of the column engine, and the mapping of fresh
memory) that only a C++ program can reach at a size a test affords, or see
as it does, and the native fuzz targets, built from the sources with the C++
compiler at hand."""

import concurrent.futures
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


# The wheel's test run copies the tests without the sources.
buildable = pytest.mark.skipif(compiler() is None or not (ROOT / "src").is_dir(),
                               reason="no C++ compiler, or no sources")


@buildable
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


VENV = pathlib.Path(sys.prefix)  # tbb-devel's headers and library
# Built with the sanitizers already: the run under the preloaded runtime would repeat it.
native_fuzz = pytest.mark.skipif(os.environ.get("DORVIK_EXPECT_SANITIZED") == "1"
                                 or not (VENV / "include" / "oneapi" / "tbb.h").is_file(),
                                 reason="the sanitizer run, or no oneTBB headers")
# Unoptimised: it builds in a third of the time, and the corpus is small.
FUZZ_FLAGS = ["-std=c++20", "-O0", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
              "-I", str(ROOT / "src"), "-I", str(VENV / "include")]


@pytest.fixture(scope="module")
def fuzz_objects(tmp_path_factory):
    """The engine and the state reader, compiled once for both targets, a
    file to each core."""
    out = tmp_path_factory.mktemp("fuzz_objects")
    sources = [*sorted((ROOT / "src" / "engine").glob("*.cpp")), ROOT / "src" / "api" / "state_bytes.cpp",
               ROOT / "fuzz" / "fuzz_state.cpp", ROOT / "fuzz" / "fuzz_engine.cpp", ROOT / "fuzz" / "replay.cpp"]

    def compile_one(src):
        obj = out / f"{src.parent.name}_{src.stem}.o"
        built = subprocess.run([compiler(), *FUZZ_FLAGS, "-c", str(src), "-o", str(obj)],
                               capture_output=True, text=True)
        assert built.returncode == 0, built.stderr
        return src, obj

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        return dict(pool.map(compile_one, sources))


@buildable
@native_fuzz
@pytest.mark.parametrize("target", ["state", "engine"])
def test_native_fuzz_corpus(tmp_path, fuzz_objects, target):
    # The fuzzers' native targets without libFuzzer, over the committed
    # corpus: the harnesses keep building from the sources as they are, and
    # every seed and past failure keeps passing their checks.
    harnesses = {ROOT / "fuzz" / f"fuzz_{t}.cpp" for t in ("state", "engine")}
    objects = [obj for src, obj in fuzz_objects.items()
               if src not in harnesses and (target == "state" or src.parent.name != "api")]
    exe = tmp_path / target
    link = [compiler(), *FUZZ_FLAGS, str(fuzz_objects[ROOT / "fuzz" / f"fuzz_{target}.cpp"]), *map(str, objects),
            "-o", str(exe), "-L", str(VENV / "lib"), "-ltbb", f"-Wl,-rpath,{VENV / 'lib'}"]
    built = subprocess.run(link, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["RAYON_NUM_THREADS"] = "2"
    corpus = sorted((ROOT / "fuzz" / "corpus" / target).iterdir())
    run = subprocess.run([str(exe), *map(str, corpus)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
