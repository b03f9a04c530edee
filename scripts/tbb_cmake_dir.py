"""Print the folder holding TBBConfig.cmake of the installed tbb-devel wheel."""

import importlib.metadata as md
import pathlib

try:
    files = md.files("tbb-devel") or []
except md.PackageNotFoundError:
    files = []
for f in files:
    if f.name == "TBBConfig.cmake":
        print(pathlib.Path(f.locate()).resolve().parent)
        break
