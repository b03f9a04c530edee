import pathlib
import re
import shutil
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
EXAMPLE = "typing_example.py"
MISUSE = "typing_misuse.py"


def marked_errors():
    lines = (HERE / MISUSE).read_text().splitlines()
    return [(n, m.group(1)) for n, line in enumerate(lines, 1) if (m := re.search(r"# error: ([\w-]+)$", line))]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    # Copies checked from an empty folder: the only dorvik mypy can see is
    # the one installed in this interpreter's site-packages.
    work = tmp_path_factory.mktemp("typing")
    for name in (EXAMPLE, MISUSE):
        shutil.copy(HERE / name, work)
    (work / "mypy.ini").write_text("[mypy]\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", "cache",
         "--python-executable", sys.executable, "--show-error-codes", "--no-pretty", EXAMPLE, MISUSE],
        cwd=work, capture_output=True, text=True, timeout=300,
    )
    errors = {}
    for line in done.stdout.splitlines():
        if m := re.match(r"(\S+?\.py):(\d+): error: .*\[([\w-]+)\]$", line):
            errors.setdefault((m.group(1), int(m.group(2))), []).append(m.group(3))
    return done, errors


def test_typed_example_passes_strict_mypy(mypy_report):
    done, errors = mypy_report
    assert not {k: v for k, v in errors.items() if k[0] == EXAMPLE}, done.stdout
    # mypy exits 1 for the misuse file alone; anything else is a crash.
    assert done.returncode == 1 and "checked 2 source files" in done.stdout, done.stdout + done.stderr


@pytest.mark.parametrize(("line", "code"), marked_errors())
def test_misuse_is_rejected(mypy_report, line, code):
    done, errors = mypy_report
    assert errors.get((MISUSE, line)) == [code], done.stdout


def test_misuse_file_reports_nothing_unmarked(mypy_report):
    done, errors = mypy_report
    marked = {(MISUSE, n) for n, _ in marked_errors()}
    assert {k for k in errors if k[0] == MISUSE} == marked, done.stdout
