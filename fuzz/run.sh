#!/usr/bin/env bash
# Runs every fuzz target (or those named as arguments) for FUZZ_SECONDS each,
# one after the other, starting from its seed corpus in fuzz/corpus/<target>/.
# New inputs go to fuzz/build/corpus/<target>/ and crashing inputs to
# fuzz/build/crashes/, so the committed seeds stay small. Exits non-zero if
# any target finds a crash.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${FUZZ_SECONDS:-60}
fuzz/build.sh

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for t in fuzz/*.cpp; do targets+=("$(basename "$t" .cpp)"); done
fi

status=0
for name in "${targets[@]}"; do
  work=fuzz/build/corpus/$name
  mkdir -p "$work" fuzz/build/crashes "fuzz/corpus/$name"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=("-dict=fuzz/$name.dict")
  echo "fuzz: $name for ${SECONDS_EACH}s"
  if ! "fuzz/build/$name" "${dict[@]}" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
      -artifact_prefix="fuzz/build/crashes/$name-" "$work" "fuzz/corpus/$name" \
      >"fuzz/build/$name.log" 2>&1; then
    echo "fuzz: $name FAILED, see fuzz/build/$name.log and fuzz/build/crashes/" >&2
    tail -n 40 "fuzz/build/$name.log" >&2
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "fuzz/build/$name.log" \
    | sed "s/^/fuzz: $name /" || true
done
exit $status
