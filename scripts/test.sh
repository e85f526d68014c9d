#!/usr/bin/env bash
# Installs what is missing, builds tagris and runs every test, in this order:
#   1. the whole suite (unit, GUI offscreen, end-to-end against the unit simulator);
#   2. the whole suite again built with AddressSanitizer (leaks included) and
#      UndefinedBehaviorSanitizer;
#   3. the threaded serial-link tests (label "threads") built with ThreadSanitizer;
#   4. each fuzz target for about 30 s (scripts/fuzz.sh 30);
#   5. the dependency check: every package those builds used is installed by
#      scripts/deps.sh (scripts/check-deps.sh);
#   6. the Debian package, built and tried unpacked (scripts/check-package.sh);
#   7. the Windows cross-build: the core's tests and the Windows serial port under wine,
#      against the simulator through a wine COM port (scripts/wine-test.sh);
#   8. a one-minute soak of the real window against the simulator with faults injected.
# Any failure or sanitizer report fails the run. Every stage runs even when an
# earlier one failed; the last line is "N passed, M failed" (tests, fuzz targets,
# checks and failed builds counted), and the exit status is non-zero on any failure.
# CI runs exactly this.
#
#   scripts/test.sh --quick     stage 1 only: the edit-and-test loop
#   TAGRIS_SKIP_DEPS=1          install nothing, only say which packages are expected
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "test.sh: unknown option $1 (only --quick)" >&2; exit 2 ;;
esac

if ! scripts/deps.sh; then
  echo "0 passed, 1 failed"
  exit 1
fi

jobs=$(nproc)
# Asked for explicitly (a plain configure leaves it off); absent on a machine set up by hand.
ccache=OFF
command -v ccache >/dev/null && ccache=ON
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/tagris-xdg.XXXXXX)}"
chmod 700 "$XDG_RUNTIME_DIR"
# ccache hits also for a clone in another folder (CI builds a fresh clone).
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
# Reports stop the process, so the test that caused one fails.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# tsan.supp: Qt's own thread pool, invisible to TSan; see the file.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tsan.supp"

logs=$(mktemp -d /tmp/tagris-test.XXXXXX)
passed=0
failed=0
failures=()

section() { printf '\n==== %s (at %dm%02ds)\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

fail() {
  failed=$((failed + 1))
  failures+=("$1")
  echo "FAILED: $1"
}

# Configures and builds a tree; a failed build counts as one failure.
build() {  # build <what> <dir> <cmake args...> [-- <targets...>]
  local what=$1 dir=$2
  shift 2
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  if ! cmake -S . -B "$dir" -G Ninja "${args[@]}" >"$logs/$what.configure.log" 2>&1; then
    cat "$logs/$what.configure.log"
    fail "$what: configure"
    return 1
  fi
  local target_args=()
  [ ${#targets[@]} -gt 0 ] && target_args=(--target "${targets[@]}")
  if ! cmake --build "$dir" -j "$jobs" "${target_args[@]}"; then
    fail "$what: build"
    return 1
  fi
}

# Runs a script whose last such line is "<what>: N passed, M failed" and adds its counts;
# no such line, or a failing status with nothing counted as failed, is one failure.
run_counted() {  # run_counted <what> <command...>
  local what=$1
  shift
  "$@" 2>&1 | tee "$logs/$what.log"
  local rc=$? line p f
  line=$(grep -aE "^$what: [0-9]+ passed, [0-9]+ failed$" "$logs/$what.log" | tail -n 1)
  if [ -z "$line" ]; then
    fail "$what: no result (exit status $rc)"
    return
  fi
  read -r p f < <(sed -E 's/^[^:]*: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/' <<<"$line")
  passed=$((passed + p))
  failed=$((failed + f))
  [ "$f" -gt 0 ] && failures+=("$what: $f of $((p + f))")
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then fail "$what: exit status $rc"; fi
}

finish() {
  section "summary"
  for f in "${failures[@]}"; do echo "failed: $f"; done
  echo "logs in $logs; took $((SECONDS / 60))m$((SECONDS % 60))s"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit
}

# Runs ctest and adds its counts; a ctest that ran no test counts as a failure.
run_ctest() {  # run_ctest <what> <ctest args...>
  local what=$1
  shift
  ctest --output-on-failure "$@" 2>&1 | tee "$logs/$what.ctest.log"
  local rc=$?
  local line total bad
  line=$(grep -aE '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$what.ctest.log" | tail -n 1)
  if [ -z "$line" ]; then
    fail "$what: no test ran"
    return
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -gt 0 ] && failures+=("$what: $bad of $total tests")
  if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then fail "$what: ctest exit status $rc"; fi
}

section "build and test"
# Benchmarks and perf programs too, so they keep compiling (neither runs here).
if build normal build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGRIS_WERROR=ON -DBUILD_TESTING=ON \
     -DTAGRIS_BUILD_BENCH=ON -DTAGRIS_BUILD_PERF=ON -DTAGRIS_CCACHE=$ccache; then
  run_ctest normal --test-dir build -j "$jobs" -LE '^soak$'
fi
[ "$quick" = 1 ] && finish

section "AddressSanitizer + UndefinedBehaviorSanitizer"
if build asan build-asan -DCMAKE_BUILD_TYPE=Debug -DTAGRIS_SANITIZE=address,undefined -DBUILD_TESTING=ON \
     -DTAGRIS_CCACHE=$ccache; then
  # Also without the accelerated day (label soak-day): it bounds memory growth,
  # which ASan's quarantine of freed blocks inflates.
  run_ctest asan --test-dir build-asan -j "$jobs" -LE soak
fi

section "ThreadSanitizer (threaded tests)"
tsan_args=(-DCMAKE_BUILD_TYPE=Debug -DTAGRIS_SANITIZE=thread -DBUILD_TESTING=ON -DTAGRIS_CCACHE=$ccache)
if cmake -S . -B build-tsan -G Ninja "${tsan_args[@]}" >"$logs/tsan.configure.log" 2>&1; then
  # Each test is an executable of the same name: build only those.
  mapfile -t tsan_targets < <(ctest --test-dir build-tsan -L threads -N | sed -n 's/^ *Test *#[0-9]*: *//p')
  if [ ${#tsan_targets[@]} -eq 0 ]; then
    fail "tsan: no threaded tests"
  elif build tsan build-tsan "${tsan_args[@]}" -- "${tsan_targets[@]}"; then
    run_ctest tsan --test-dir build-tsan -L threads
  fi
else
  cat "$logs/tsan.configure.log"
  fail "tsan: configure"
fi

section "fuzzing"
run_counted fuzz scripts/fuzz.sh 30

section "dependency check (scripts/deps.sh names every package used)"
deps_dirs=()
for d in build build-asan build-tsan build-fuzz; do [ -f "$d/CMakeCache.txt" ] && deps_dirs+=("$d"); done
run_counted deps scripts/check-deps.sh "${deps_dirs[@]}"

section "Debian package"
run_counted package scripts/check-package.sh build

section "Windows build under wine"
run_counted wine scripts/wine-test.sh

if [ -d tests/soak ]; then
  section "soak"
  if [ -n "$(ctest --test-dir build -L '^soak$' -N | sed -n 's/^ *Test *#[0-9]*: *//p')" ]; then
    run_ctest soak --test-dir build -L '^soak$'
  else
    fail "soak: not registered"
  fi
fi

finish
