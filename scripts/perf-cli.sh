#!/usr/bin/env bash
# tagris-cli against mbpoll, each as a whole process reading registers 0..53 once from
# the same simulated unit, side by side in one hyperfine run; then the peak resident
# memory of each (GNU time), and of a long watch.
#
#   scripts/perf-cli.sh [--build-dir DIR] [--runs N] [--polls N]
#
# Options: --build-dir DIR (default build-perf, Release), --runs N timed runs of each
#          (default 300), --polls N of the watch memory run (default 2000).
# Needs: cmake, ninja, a C++ compiler, hyperfine, mbpoll, GNU time
#        (apt-get install hyperfine mbpoll time). scripts/perf.sh runs it as its part "cli".
# Not part of CI: the figures depend on the machine and on what else runs on it.
set -euo pipefail
trap 'echo "perf-cli.sh: failed at line $LINENO" >&2' ERR

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-perf"
RUNS=300
POLLS=2000

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --runs) RUNS="$2"; shift ;;
    --polls) POLLS="$2"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "perf-cli.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

source "$ROOT/scripts/perf-lib.sh"
need_tools "hyperfine mbpoll time ninja-build" hyperfine mbpoll /usr/bin/time ninja

WORK="$(mktemp -d /tmp/tagris-perf-cli.XXXXXX)"
LINK="$WORK/unit"
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

build_release tagris-cli tagris-unit-sim
CLI_BIN="$BUILD/src/cli/tagris-cli"
SIM="$BUILD/tools/unitsim/tagris-unit-sim"

start_sim --no-drift

CLI=("$CLI_BIN" read --port "$LINK")
# Holding registers 0..53 (-0: 0-based references) from address 5 at 9600 8N1, once.
MBPOLL=(mbpoll -m rtu -a 5 -b 9600 -d 8 -s 1 -P none -t 4 -0 -r 0 -c 54 -1 "$LINK")

# Both must really read the 54 registers, or their times mean nothing.
registers=$("$CLI_BIN" read --port "$LINK" --json | sed 's/.*"registers":\[\([^]]*\)\].*/\1/' | tr ',' '\n' | wc -l)
[[ "$registers" == 54 ]] || { echo "perf-cli.sh: tagris-cli read did not give 54 registers" >&2; exit 1; }
[[ "$("${MBPOLL[@]}" | grep -c '^\[[0-9]*\]:')" == 54 ]] || { echo "perf-cli.sh: mbpoll did not give 54 registers" >&2; exit 1; }

echo "tagris-cli performance ($(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo "build: $BUILD ($(grep -m1 CMAKE_BUILD_TYPE "$BUILD/CMakeCache.txt" | cut -d= -f2)), $(mbpoll -V 2>&1 | head -1)"
echo "(e) one read of registers 0..53, whole process, unpaced pty, $RUNS runs each after 20 warm-up runs:"
# The last three start and end a process without a port: what a loaded machine costs
# any program, for reading the first two.
hyperfine -N --style none --warmup 20 --runs "$RUNS" --export-csv "$WORK/read.csv" \
  -n "tagris-cli read" "${CLI[*]}" -n "mbpoll -1" "${MBPOLL[*]}" \
  -n "tagris-cli --version" "$CLI_BIN --version" -n "mbpoll -V" "mbpoll -V" -n "/bin/true" /bin/true \
  >/dev/null 2>&1
# command,mean,stddev,median,user,system,min,max (seconds)
awk -F, 'NR > 1 {
    printf "  %-20s median %6.2f ms  mean %6.2f ms (sd %5.2f)  min %6.2f ms  max %7.2f ms  CPU user %5.2f + sys %5.2f ms\n",
      $1, $4 * 1000, $2 * 1000, $3 * 1000, $7 * 1000, $8 * 1000, $5 * 1000, $6 * 1000
    median[NR] = $4 }
  END { printf "  tagris-cli read / mbpoll -1 (medians): %.2f\n", median[2] / median[3] }' "$WORK/read.csv"
echo "  load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

# Peak RSS in KiB of 20 runs: median and largest.
peak_rss() {
  local out="$WORK/rss.txt"
  : >"$out"
  for _ in $(seq 20); do
    /usr/bin/time -f '%M' -o "$WORK/one.txt" "$@" >/dev/null 2>&1 || true
    tail -1 "$WORK/one.txt" >>"$out"
  done
  sort -n "$out" | awk '{ v[NR] = $1 } END { printf "median %.2f MiB, max %.2f MiB", v[int((NR + 1) / 2)] / 1024, v[NR] / 1024 }'
}
echo "(f) peak resident memory (GNU time, 20 runs each):"
echo "  tagris-cli read: $(peak_rss "${CLI[@]}")"
echo "  mbpoll -1:       $(peak_rss "${MBPOLL[@]}")"
/usr/bin/time -f '%M' -o "$WORK/watch.txt" "$CLI_BIN" watch --port "$LINK" --interval 0 --count "$POLLS" \
  --csv "$WORK/watch.csv" >/dev/null 2>&1
printf '  tagris-cli watch, %s polls back to back with --csv: %.2f MiB\n' "$POLLS" \
  "$(awk '{ print $1 / 1024 }' "$WORK/watch.txt" | tail -1)"
