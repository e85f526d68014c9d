#!/usr/bin/env bash
# How long tagris-cli scan takes for one line setting over all 127 addresses, at 9600 and
# at 38400 baud, next to the bound it works to: 127 probes, each waiting for the 8-byte
# request, 3.5 characters of silence and the 7-byte answer at the line speed, plus the
# 20 ms margin. The simulated unit paces its answer at the line speed (--pace) and is
# silent on the other 126 addresses, so nearly every probe waits its whole time.
#
#   scripts/perf-scan.sh [--build-dir DIR] [--runs N]
#
# Options: --build-dir DIR (default build-perf, Release), --runs N timed runs per speed
#          (default 3). Needs: cmake, ninja, a C++ compiler, hyperfine.
# scripts/perf.sh runs it as its part "scan". Not part of CI: the figures depend on the
# machine and on what else runs on it.
set -euo pipefail
trap 'echo "perf-scan.sh: failed at line $LINENO" >&2' ERR

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-perf"
RUNS=3

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --runs) RUNS="$2"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "perf-scan.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

source "$ROOT/scripts/perf-lib.sh"
need_tools "hyperfine ninja-build python3" hyperfine ninja python3

WORK="$(mktemp -d /tmp/tagris-perf-scan.XXXXXX)"
LINK="$WORK/unit"
cleanup() {
  stop_sim
  rm -rf "$WORK"
}
trap cleanup EXIT

build_release tagris-cli tagris-unit-sim
CLI_BIN="$BUILD/src/cli/tagris-cli"
SIM="$BUILD/tools/unitsim/tagris-unit-sim"

printf '%-6s %-12s %-22s %-18s %-20s %s\n' "baud" "probe wait" "bound (127 probes)" "printed at most" "measured median" "min..max"
for BAUD in 9600 38400; do
  start_sim --pace "$BAUD" --address 5 --no-drift
  # --all: every address is probed, also after the unit answered at 5.
  SCAN=("$CLI_BIN" scan --port "$LINK" --all --address 1-127 --bauds "$BAUD" --parities none --stops 1 --json)
  "${SCAN[@]}" >"$WORK/found.json" 2>"$WORK/scan.err"
  grep -q "\"address\":5" "$WORK/found.json" || { echo "perf-scan.sh: the unit was not found" >&2; exit 1; }
  PRINTED="$(sed -n 's/.*: at most \(.*\)\.$/\1/p' "$WORK/scan.err" | head -1)"
  hyperfine --runs "$RUNS" --warmup 0 --export-json "$WORK/h.json" "$(printf '%q ' "${SCAN[@]}")" >/dev/null 2>&1
  python3 - "$BAUD" "$PRINTED" "$WORK/h.json" <<'EOF'
import json, sys
baud, printed, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
r = json.load(open(path))["results"][0]
char = 10 / baud                      # 8N1: start, 8 data, stop
wait = 18.5 * char + 0.020            # request 8 + silence 3.5 + answer 7 characters, + margin
bound = 127 * wait
frames_only = 127 * (15 * char + 0.020)
print(f"{baud:<6} {wait*1000:6.1f} ms    {bound:5.2f} s ({frames_only:4.2f} s w/o gap)  {printed:<18} "
      f"{r['median']:5.2f} s              {r['min']:.2f}..{r['max']:.2f} s")
EOF
  stop_sim
done
