#!/usr/bin/env bash
# Installs each repaired wheel in dist/wheels into a fresh venv of its release,
# with no index and no compiler to fall back on, runs the demo there, and shows
# from /proc/self/maps that the extensions run on the libcrypto inside the
# wheel rather than the system's. Needs a wheel for every release found and at
# least MIN_PYTHONS of them.
set -euo pipefail
cd "$(dirname "$0")/.."
MIN_PYTHONS=${MIN_PYTHONS:-3}
demo="$PWD/examples/demo.py"
# Every libcrypto mapped into a process that has loaded only qv's extension
# modules must be the copy that auditwheel put beside the package. They are
# loaded by file, not through the package: the package imports the standard
# library's hashlib (through secrets), whose _hashlib maps the system's own
# libcrypto for itself.
LIBCRYPTO_CHECK='
import glob, importlib.util, os, sys, sysconfig
site = os.path.realpath(sysconfig.get_paths()["platlib"])
libs = os.path.join(site, "qv.libs")
extensions = sorted(glob.glob(os.path.join(site, "qv", "_*.so")))
assert len(extensions) >= 5, extensions
for path in extensions:
    spec = importlib.util.spec_from_file_location("qv." + os.path.basename(path).split(".")[0], path)
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
assert "_hashlib" not in sys.modules
with open("/proc/self/maps") as maps:
    mapped = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
crypto = sorted(p for p in mapped if os.path.basename(p).startswith("libcrypto"))
foreign = [p for p in crypto if os.path.dirname(os.path.realpath(p)) != libs]
assert crypto, "no libcrypto mapped"
assert not foreign, "libcrypto from outside the wheel: %s" % foreign
print("libcrypto in use:", *crypto, "by", *map(os.path.basename, extensions))
'
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

checked=0
while read -r release exe; do
  tag="cp${release/./}"
  wheel=$(ls dist/wheels/qv-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null || true)
  if [ -z "$wheel" ]; then
    echo "no repaired wheel for CPython $release in dist/wheels (run make wheels)" >&2
    exit 1
  fi
  echo "=== $(basename "$wheel") under $exe"
  venv="$tmp/venv-$release"
  "$exe" -m venv "$venv"
  # Nothing to build from: no index, binaries only, and no compiler to call.
  CC=false CXX=false "$venv/bin/python" -m pip install --quiet --no-index --only-binary=:all: \
    "$wheel" </dev/null
  (cd "$tmp" && "$venv/bin/python" -I "$demo") </dev/null
  (cd "$tmp" && "$venv/bin/python" -I -c "$LIBCRYPTO_CHECK") </dev/null
  checked=$((checked + 1))
done < <(tools/pythons.sh)

if [ "$checked" -lt "$MIN_PYTHONS" ]; then
  echo "only $checked wheel(s) checked; at least $MIN_PYTHONS must be" >&2
  exit 1
fi
echo "=== $checked wheel(s) installed, ran the demo and used their own libcrypto"
