# Sourced by the other scripts: finds a Python >= 3.13 to make venvs with.

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
