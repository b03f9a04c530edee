"""atheris harness for the Python API. Usage: fuzz_python.py setstate|encode
[libFuzzer flags] [corpus dirs]; scripts/fuzz runs it."""

import sys

import atheris

with atheris.instrument_imports():
    import checks


def encode(data: bytes):
    checks.check_encode(checks.table_from_bytes(data))


TARGETS = {"setstate": checks.check_setstate, "encode": encode}


def main():
    target = TARGETS[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
