"""The sanitized run's leak check tells the extension's leaks from the rest,
whatever the symbolizer prints of a frame and wherever the checkout lies."""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
spec = importlib.util.spec_from_file_location("own_leaks", ROOT / "scripts" / "own_leaks.py")
own_leaks = importlib.util.module_from_spec(spec)
spec.loader.exec_module(own_leaks)

NEW = "    #0 0x7f3a in operator new[](unsigned long) ../../../../src/libsanitizer/asan/asan_new_delete.cpp:98"
TBB = "    #1 0x7f3b in tbb::detail::r1::allocate_memory (/x/.venv/lib/libtbb.so.12+0x2f1a)"
PY = "    #2 0x7f3c in method_vectorcall_VARARGS_KEYWORDS Objects/descrobject.c:358"


@pytest.mark.parametrize(
    "frames, owner",
    [
        # A function of an unnamed namespace, printed by its bare name.
        ([NEW, f"    #1 0x7f3d in encode {ROOT}/src/api/encoder.cpp:76", PY], "ours"),
        ([NEW, f"    #1 0x7f3d in operator() {ROOT}/src/engine/pool.cpp:56", PY], "ours"),
        ([NEW, TBB, "    #2 0x7f3e in dorvik::pool() /elsewhere/pool.cpp:61", PY], "ours"),
        ([NEW, "    #1 0x7f3f  (/x/site-packages/dorvik.cpython-313-x86_64-linux-gnu.so+0x1234)"], "ours"),
        ([NEW, PY], "foreign"),
        ([NEW, TBB], "foreign"),
        # A library of a checkout that happens to be named after the project.
        ([NEW, "    #1 0x7f40 in npy_alloc_cache /src/dorvik/.venv/lib/numpy/_multiarray_umath.so", PY], "foreign"),
    ],
)
def test_leak_owner(frames, owner):
    assert own_leaks.owner(frames) == owner


def test_leaks_are_read_from_a_report():
    report = "\n".join(["Direct leak of 32 byte(s) in 1 object(s) allocated from:", NEW,
                        f"    #1 0x7f3d in encode {ROOT}/src/api/encoder.cpp:76", PY, "",
                        "Indirect leak of 8 byte(s) in 1 object(s) allocated from:", NEW, PY, ""])
    reports = list(own_leaks.leaks(report))
    assert [head.split(" of ")[0] for head, _ in reports] == ["Direct leak", "Indirect leak"]
    assert [own_leaks.owner(frames) for _, frames in reports] == ["ours", "foreign"]
