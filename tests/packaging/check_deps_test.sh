#!/usr/bin/env bash
# scripts/check-deps.sh on small fixture builds (tests/packaging/fixture): it passes with
# deps.sh's list, and fails, naming the cause, when libqt6opengl6-dev is left out of the
# list or a header comes from no package, although both are on this machine.
#
#   tests/packaging/check_deps_test.sh [WORK_DIR]    (CTest passes a folder of the build)
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=${1:-$(mktemp -d /tmp/tagris-deps-test.XXXXXX)}
mkdir -p "$work"
# Outside the tree and the build folders: the check ignores files there as the project's own.
hand=$(mktemp -d /tmp/tagris-hand-headers.XXXXXX)
trap 'rm -rf "$hand"' EXIT
echo 'constexpr int kHandMade = 0;' >"$hand/hand_made.h"

"$repo/scripts/deps.sh" --list >"$work/listed"
grep -vx libqt6opengl6-dev "$work/listed" >"$work/without-opengl"
if cmp -s "$work/listed" "$work/without-opengl"; then
  echo "FAILED: scripts/deps.sh does not list libqt6opengl6-dev"
  exit 1
fi

configure() {  # configure <dir> <cmake args...>
  local dir=$1
  shift
  cmake -S "$repo/tests/packaging/fixture" -B "$dir" -G Ninja "$@" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; echo "FAILED: configure $dir"; exit 1; }
}
configure "$work/charts"
cmake --build "$work/charts" >"$work/build.log" 2>&1 || { cat "$work/build.log"; echo "FAILED: build"; exit 1; }
configure "$work/hand" -DFIXTURE_HAND_HEADERS="$hand"
cmake --build "$work/hand" >"$work/build.log" 2>&1 || { cat "$work/build.log"; echo "FAILED: build"; exit 1; }
configure "$work/unbuilt" -DFIXTURE_HAND_HEADERS="$hand"

# case | build folder | package list | expected status | a line the output must have
cases=(
  "deps.sh's list|charts|listed|0|^deps: .*charts: .* all installed by scripts/deps.sh$"
  "libqt6opengl6-dev left out|charts|without-opengl|1|^  libqt6opengl6-dev: used but not installed by scripts/deps.sh"
  "a header no package holds|hand|listed|1|^  $hand/hand_made.h: no Debian package holds it"
  "configured, not built|unbuilt|listed|1|no system header .*build it first"
)
failures=0
for c in "${cases[@]}"; do
  IFS='|' read -r name dir list want_status want_line <<<"$c"
  "$repo/scripts/check-deps.sh" --no-tools --packages "$work/$list" "$work/$dir" >"$work/out" 2>&1
  status=$?
  # A failing case names one cause, the expected one: everything else the fixture uses is listed.
  causes=$(grep -c -e ': used but not installed' -e ': no Debian package holds it' "$work/out")
  if [ "$status" -ne "$want_status" ] || ! grep -q -e "$want_line" "$work/out" ||
     { [ "$dir" != unbuilt ] && [ "$causes" -ne "$want_status" ]; }; then
    echo "FAILED: $name: status $status (want $want_status), $causes causes named; output:"
    sed 's/^/  /' "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
done
[ "$failures" -eq 0 ]
