#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh            about 30 s per target (part of scripts/test.sh)
#   scripts/fuzz.sh 3600       an hour per target
# A crash leaves its input in build-fuzz/crash-<target>-*; rerun it with
#   build-fuzz/fuzz/fuzz_<target> build-fuzz/crash-<target>-<hash>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

ccache=OFF
command -v ccache >/dev/null && ccache=ON
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGRIS_CCACHE=$ccache \
  -DTAGRIS_FUZZ=ON -DBUILD_TESTING=OFF -DTAGRIS_SANITIZE=address,undefined >/dev/null
targets=$(sed -n 's/^tagris_add_fuzzer(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz -j "$(nproc)" --target $(for t in $targets; do echo "fuzz_$t"; done)

passed=0
failed=0
for t in $targets; do
  work="build-fuzz/corpus-$t"
  mkdir -p "$work"
  echo "== fuzz_$t for ${seconds}s"
  # -timeout: an input that takes longer is a hang and fails the target.
  if build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=25 -print_final_stats=0 \
       -artifact_prefix="build-fuzz/crash-$t-" "$work" "fuzz/corpus/$t" >"build-fuzz/fuzz_$t.log" 2>&1; then
    tail -n 1 "build-fuzz/fuzz_$t.log"
    passed=$((passed + 1))
  else
    tail -n 40 "build-fuzz/fuzz_$t.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
