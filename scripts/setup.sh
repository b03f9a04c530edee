# Sourced by the other scripts: finds Python >= 3.13, makes .venv, installs
# what is needed and builds the extension into it. Safe to run again: only
# what changed is rebuilt.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

recent_enough() {
  "$1" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1
}

find_python() {
  local c v
  for c in "${PYTHON:-}" python3.13 python3.14; do
    if [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 && recent_enough "$c"; then
      command -v "$c"
      return
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    for v in $(pyenv versions --bare 2>/dev/null | sort -rV); do
      c="$(pyenv root)/versions/$v/bin/python"
      if [ -x "$c" ] && recent_enough "$c"; then
        echo "$c"
        return
      fi
    done
  fi
  echo "no Python >= 3.13 found: set \$PYTHON to one" >&2
  return 1
}

if ! { [ -x "$PY" ] && recent_enough "$PY"; }; then
  rm -rf "$VENV"
  "$(find_python)" -m venv "$VENV"
fi

# Build tools first, so that the extension builds in the venv itself and the
# CMake build folder is reused between runs.
"$PY" -m pip install -qq --disable-pip-version-check \
  "scikit-build-core>=0.10" "numpy>=2.1" "tbb-devel>=2021.10"
"$PY" -m pip install -qq --disable-pip-version-check --no-build-isolation "$ROOT[test,demo]"
