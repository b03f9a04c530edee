"""Reads the sanitizer logs of a test run. Fails on any error report, and on the
leaks that are
the extension's own: blocks allocated by its code, directly or through the C++
runtime or oneTBB. Blocks the interpreter or another library allocated are
left alone (the interpreter keeps much of its memory until exit); the
references the extension takes are checked by the leak tests instead.

usage: python own_leaks.py LOG_DIR
"""

import pathlib
import re
import sys

HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte")
FRAME = re.compile(r"^\s*#\d+ ")
# Frames of code that allocates on someone else's behalf: walk past them to
# find whose allocation it was.
RUNTIME = ("libasan", "libstdc++", "libtbb", "libc.so", "asan_", "operator new", " in malloc",
           " in calloc", " in realloc", " in posix_memalign", " in aligned_alloc")


# A frame of the extension's code: a source file of this checkout (the
# sanitizer's symbolizer may print a function's bare name, without its
# namespace), a qualified name, or the module file where no symbol was found.
SOURCES = str(pathlib.Path(__file__).resolve().parents[1] / "src") + "/"
OURS = (SOURCES, "dorvik::", "dorvik.cpython")


def owner(frames: list[str]) -> str:
    for f in frames:
        if any(o in f for o in OURS):
            return "ours"
        if not any(r in f for r in RUNTIME):
            return "foreign"
    return "foreign"


def leaks(text: str):
    block: list[str] | None = None
    for line in text.splitlines() + [""]:
        if HEADER.match(line):
            block = [line]
        elif block is not None and FRAME.match(line):
            block.append(line)
        elif block is not None:
            yield block[0], block[1:]
            block = None


def main() -> int:
    ours, total, errors = [], 0, 0
    for log in sorted(pathlib.Path(sys.argv[1]).glob("*")):
        text = log.read_text(errors="replace")
        if any(e in text for e in ("ERROR: AddressSanitizer", "CHECK failed", "runtime error:")):
            print(text)
            errors += 1
        for head, frames in leaks(text):
            total += 1
            if owner(frames) == "ours":
                ours.append("\n".join([head, *frames]))
    print(f"leak check: {total} leak records, {len(ours)} allocated by the extension")
    for block in ours:
        print(block, end="\n\n")
    if errors:
        print(f"{errors} process(es) stopped by a sanitizer error")
    return 1 if ours or errors else 0


if __name__ == "__main__":
    sys.exit(main())
