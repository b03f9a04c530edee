# Sourced by the other scripts: finds Python >= 3.13, makes .venv, installs
# what is needed and builds the extension into it. Safe to run again: only
# what changed is rebuilt.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

source "$ROOT/scripts/python.sh"

if ! { [ -x "$PY" ] && recent_enough "$PY"; }; then
  rm -rf "$VENV"
  "$(find_python)" -m venv "$VENV"
fi

# Build tools first, so that the extension builds in the venv itself and the
# CMake build folder is reused between runs.
"$PY" -m pip install -qq --disable-pip-version-check \
  "scikit-build-core>=0.10" "numpy>=2.1" "tbb-devel>=2021.10"
"$PY" -m pip install -qq --disable-pip-version-check --no-build-isolation "$ROOT[test,demo]"
