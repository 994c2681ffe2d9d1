#!/usr/bin/env bash
# Builds qv and runs the whole suite, stubtest and strict mypy under every
# CPython release that tools/pythons.sh finds, each in its own .venv-RELEASE.
# Fails if any run fails or fewer than MIN_PYTHONS releases were tested.
set -euo pipefail
cd "$(dirname "$0")/.."
MIN_PYTHONS=${MIN_PYTHONS:-3}
mkdir -p build
summary=build/test-pythons.txt
: >"$summary"
tested=0
while read -r release exe; do
  echo "=== CPython $release ($exe)"
  log="build/test-pythons-$release.log"
  make --no-print-directory test typecheck PYTHON="$exe" VENV=".venv-$release" </dev/null 2>&1 | tee "$log"
  # pytest's closing line, such as "=== 412 passed, 3 skipped in 81.20s ===".
  counts=$(grep -E '^=+ .*(passed|failed).* in [0-9.]+s' "$log" | tail -n 1 | tr -d '=' | xargs)
  echo "$release ($("$exe" -c 'import platform; print(platform.python_version())')): $counts" >>"$summary"
  tested=$((tested + 1))
done < <(tools/pythons.sh)

echo "=== suite results per release"
cat "$summary"
if [ "$tested" -lt "$MIN_PYTHONS" ]; then
  echo "only $tested CPython release(s) found; at least $MIN_PYTHONS must be tested" >&2
  exit 1
fi
