#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*.cpp) into fuzz/build/, linking the
# C++ library (the CMake target qv, built without Python into fuzz/build/core)
# compiled with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Installs clang and its fuzzer runtime with apt-get when they are missing, so
# a fresh machine (CI) can run it as it is.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++}
OUT=fuzz/build
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra -Wpedantic -Iinclude -Isrc -Itests/native $SAN"

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

# The library itself, built by its own CMake project (without the Python
# modules) with the sanitizers and the fuzzer's coverage instrumentation.
command -v cmake >/dev/null || { echo "fuzz: cmake is needed" >&2; exit 1; }
cmake -S . -B "$OUT/core" -DQV_BUILD_PYTHON=OFF -DQV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$CXX" -DQV_EXTRA_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$OUT/core" --parallel "${FUZZ_JOBS:-2}" >/dev/null
LIB=$OUT/core/libqv.a

for target in fuzz/*.cpp; do
  name=$(basename "$target" .cpp)
  # shellcheck disable=SC2086
  "$CXX" $CXXFLAGS -fsanitize=fuzzer "$target" "$LIB" -lcrypto -pthread -o "$OUT/$name"
  echo "fuzz: built $OUT/$name"
done
