#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*.cpp) into fuzz/build/, linking the
# library's Python-free core (QV_CORE_SOURCES in CMakeLists.txt) as a static
# library compiled with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Installs clang and its fuzzer runtime with apt-get when they are missing, so
# a fresh machine (CI) can run it as it is.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++}
OUT=fuzz/build
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra -Wpedantic -Isrc $SAN"

toolchain_works() {
  command -v "$CXX" >/dev/null 2>&1 || return 1
  local probe
  probe=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
    >"$probe/probe.cpp"
  "$CXX" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
  local rc=$?
  rm -rf "$probe"
  return $rc
}

if ! toolchain_works; then
  echo "fuzz: installing clang and libclang-rt-14-dev" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  toolchain_works || { echo "fuzz: $CXX cannot build fuzzers" >&2; exit 1; }
fi

# The core sources, read from the one list in CMakeLists.txt.
mapfile -t CORE < <(awk '/^set\(QV_CORE_SOURCES/ {on = 1; next}
                         on && /\)/ {sub(/\).*/, ""); if ($1 != "") print $1; exit}
                         on {print $1}' CMakeLists.txt)
[ "${#CORE[@]}" -gt 0 ] || { echo "fuzz: QV_CORE_SOURCES not found" >&2; exit 1; }

mkdir -p "$OUT/obj"
OBJS=()
for src in "${CORE[@]}"; do
  obj="$OUT/obj/$(echo "${src%.cpp}" | tr / _).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find src -name '*.h' -newer "$obj" -print -quit)" ]; then
    # shellcheck disable=SC2086
    "$CXX" $CXXFLAGS -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  OBJS+=("$obj")
done
LIB=$OUT/libqv_core.a
rm -f "$LIB"
ar rcs "$LIB" "${OBJS[@]}"

for target in fuzz/*.cpp; do
  name=$(basename "$target" .cpp)
  # shellcheck disable=SC2086
  "$CXX" $CXXFLAGS -fsanitize=fuzzer "$target" "$LIB" -lcrypto -pthread -o "$OUT/$name"
  echo "fuzz: built $OUT/$name"
done
