#!/usr/bin/env bash
# Prints one interpreter per CPython release from 3.11 on, oldest first, as
# "RELEASE PATH" lines: pyenv's installs, then whatever PATH offers. The first
# interpreter found for a release stands for it.
set -euo pipefail

candidates() {
  local root="${PYENV_ROOT:-$HOME/.pyenv}"
  for exe in "$root"/versions/*/bin/python3; do
    [ -x "$exe" ] && echo "$exe"
  done
  for minor in $(seq 11 30); do
    command -v "python3.$minor" || true
  done
}

# A pyenv shim for a release that pyenv has not activated fails here, so is
# passed over like any interpreter that cannot run.
probe='import sys; print("%d.%d" % sys.version_info[:2]) if sys.implementation.name == "cpython" and sys.version_info >= (3, 11) else None'
declare -A seen=()
while read -r exe; do
  release=$("$exe" -I -c "$probe" 2>/dev/null) || continue
  [ -n "$release" ] && [ "$release" != None ] || continue
  [ -z "${seen[$release]:-}" ] || continue
  seen[$release]=1
  echo "$release $exe"
done < <(candidates) | sort -t. -k2,2n
