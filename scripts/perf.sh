#!/usr/bin/env bash
# Measures the tool's performance and prints the figures of docs/performance.md.
#
#   scripts/perf.sh                 poll latency (tool and mbpoll, unpaced and paced),
#                                   memory over many polls, update and sample-file costs
#   scripts/perf.sh --long          the same plus the 10-minute run at the real 500 ms tick
#   scripts/perf.sh --only idle     one part: latency, paced, memory, update, sample, cli, scan, idle
#                                   (cli: tagris-cli read against mbpoll -1, scripts/perf-cli.sh;
#                                   scan: tagris-cli scan over 127 addresses, scripts/perf-scan.sh)
#
# Options: --build-dir DIR (default build-perf, Release), --polls N (default 300),
#          --idle-seconds N (default 600), --keep (keep the raw samples in the work folder).
# Needs (installed here): cmake, ninja, a C++ compiler, Qt 6, libbenchmark-dev, mbpoll; for cli
#        also hyperfine and GNU time; for scan hyperfine.
# Not part of CI: the figures depend on the machine and on what else runs on it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-perf"
POLLS=300
IDLE_SECONDS=600
LONG=0
ONLY=""
KEEP=0

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --long) LONG=1 ;;
    --only) ONLY="$2"; shift ;;
    --build-dir) BUILD="$(realpath -m "$2")"; shift ;;
    --polls) POLLS="$2"; shift ;;
    --idle-seconds) IDLE_SECONDS="$2"; shift ;;
    --keep) KEEP=1 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "perf.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

wanted() {
  if [[ -n "$ONLY" ]]; then [[ ",$ONLY," == *",$1,"* ]]; return; fi
  [[ "$1" != idle || "$LONG" == 1 ]]
}

WORK="$(mktemp -d /tmp/tagris-perf.XXXXXX)"
export XDG_RUNTIME_DIR="$WORK/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
LINK="$WORK/unit"
source "$ROOT/scripts/perf-lib.sh"

cleanup() {
  stop_sim
  if [[ "$KEEP" == 1 ]]; then echo "raw samples kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# --- packages: the build's, the comparison master, timing and picture tools ------
"$ROOT/scripts/deps.sh" mbpoll imagemagick hyperfine time

# --- build (Release), with the perf programs and benchmarks it runs -----------------
CCACHE=OFF
command -v ccache >/dev/null && CCACHE=ON
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTAGRIS_BUILD_PERF=ON -DTAGRIS_BUILD_BENCH=ON -DTAGRIS_CCACHE=$CCACHE >/dev/null
TARGETS=(tagris-unit-sim tagris-perf-poll tagris-perf-sample tagris-perf-mbpoll-timer)
wanted update && TARGETS+=(bench_update)
ninja -C "$BUILD" -j2 "${TARGETS[@]}" >/dev/null

SIM="$BUILD/tools/unitsim/tagris-unit-sim"
POLL="$BUILD/tools/perf/tagris-perf-poll"
SAMPLE="$BUILD/tools/perf/tagris-perf-sample"
SHIM="$BUILD/tools/perf/libtagris-perf-mbpoll-timer.so"


# median p99 min max (ms) of a file of microsecond samples, nearest rank.
stats_ms() {
  grep -v '^#' "$1" | sort -n | awk '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "no samples"; exit }
      m = int((NR + 1) / 2); p = int(NR * 0.99); if (p < NR * 0.99) p++; if (p < 1) p = 1
      printf "n %d median %.3f ms p99 %.3f ms min %.3f ms max %.3f ms", NR, v[m] / 1000, v[p] / 1000, v[1] / 1000, v[NR] / 1000
    }'
}
median_ms() { grep -v '^#' "$1" | sort -n | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] / 1000 }'; }

# One set of polls by the tool's window and by mbpoll, at the given baud and pace.
# Prints one line each; the tool line also the difference of the medians.
poll_pair() {
  local baud="$1" pace="$2" tag="$3"
  local sim_args=()
  [[ "$pace" != 0 ]] && sim_args=(--pace "$pace")
  start_sim "${sim_args[@]}"
  "$POLL" --port "$LINK" --baud "$baud" --polls "$POLLS" --out "$WORK/tool-$tag.txt" >"$WORK/tool-$tag.log" 2>&1 ||
    { cat "$WORK/tool-$tag.log" >&2; exit 1; }
  start_sim "${sim_args[@]}"
  TAGRIS_PERF_OUT="$WORK/mbpoll-$tag.txt" TAGRIS_PERF_POLLS="$POLLS" TAGRIS_PERF_WARMUP=10 LD_PRELOAD="$SHIM" \
    mbpoll -m rtu -a 5 -b "$baud" -P none -t 4 -0 -r 0 -c 54 -l 20 "$LINK" >/dev/null 2>&1 ||
    { echo "perf.sh: mbpoll failed (is it installed? scripts/deps.sh)" >&2; exit 1; }
  stop_sim
  local tool mb
  tool=$(median_ms "$WORK/tool-$tag.txt")
  mb=$(median_ms "$WORK/mbpoll-$tag.txt")
  printf '  %-8s tool:   %s   (lost %s)\n' "$tag" "$(stats_ms "$WORK/tool-$tag.txt")" \
    "$(sed -n 's/.*lost \([0-9]*\).*/\1/p' "$WORK/tool-$tag.log")"
  sed -n "s/^main-thread parts: /  $(printf '%-8s' '') tool on its main thread: /p" "$WORK/tool-$tag.log"
  printf '  %-8s mbpoll: %s   (failed %s)\n' "$tag" "$(stats_ms "$WORK/mbpoll-$tag.txt")" \
    "$(sed -n 's/^# failed //p' "$WORK/mbpoll-$tag.txt")"
  awk -v t="$tool" -v m="$mb" -v b="$pace" 'BEGIN {
    printf "  %-8s tool - mbpoll (medians): %.3f ms", "", t - m
    if (b > 0) {
      line = 121 * 10 / b * 1000; floor = (3.5 + 112) * 10 / b * 1000
      printf "; line time (8+113 bytes) %.2f ms, simulator floor (3.5 + 112 chars) %.2f ms;", line, floor
      printf " tool/line %.3f, mbpoll/line %.3f, tool - floor %.2f ms", t / line, m / line, t - floor
    }
    printf "\n" }'
}

echo "tagris performance ($(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo "build: $BUILD ($(grep -m1 CMAKE_BUILD_TYPE "$BUILD/CMakeCache.txt" | cut -d= -f2))"

if wanted latency; then
  echo "(a) request to decoded, one poll of 54 registers, unpaced pty, $POLLS polls:"
  poll_pair 9600 0 unpaced
fi

if wanted paced; then
  echo "(b) the same, simulator paced at the line speed (10 bits per byte):"
  poll_pair 9600 9600 9600
  poll_pair 38400 38400 38400
fi

if wanted memory; then
  echo "(c') resident memory over 20000 polls (charts reach their 10000-point cap):"
  start_sim
  "$POLL" --port "$LINK" --polls 20000 --warmup 0 --gap 0 --rss-every 2500 --watch-line 1 --out "$WORK/tool-memory.txt" |
    sed 's/^/  /'
  stop_sim
fi

if wanted update; then
  echo "(d) one measurement update (bench/bench_update.cpp):"
  "$BUILD/bench/bench_update" --benchmark_min_time=1 2>/dev/null | grep -E '^BM_' | sed 's/^/  /'
fi

if wanted sample; then
  echo "(d) one sample as the sample file grows (21 samples per size):"
  "$SAMPLE" --dir "$WORK/samples" | sed 's/^/  /'
fi

if wanted cli; then
  "$ROOT/scripts/perf-cli.sh" --build-dir "$BUILD" | sed 's/^/  /'
fi

if wanted scan; then
  "$ROOT/scripts/perf-scan.sh" --build-dir "$BUILD" | sed 's/^/  /'
fi

if wanted idle; then
  echo "(c) polling at the real 500 ms tick for $IDLE_SECONDS s, sampled every 10 s:"
  start_sim
  "$POLL" --port "$LINK" --idle "$IDLE_SECONDS" >"$WORK/idle.log" 2>&1 &
  TOOL_PID=$!
  for _ in $(seq 100); do grep -q '^idle: polling' "$WORK/idle.log" && break; sleep 0.1; done
  hz=$(getconf CLK_TCK)
  ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo -1; }
  rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo -1; }
  t0=$(date +%s.%N); c0=$(ticks "$TOOL_PID"); s0=$(ticks "$SIM_PID"); r0=$(rss "$TOOL_PID")
  : >"$WORK/idle.csv"
  rmax=$r0; t1=$t0; c1=$c0; r1=$r0; s1=$s0
  while kill -0 "$TOOL_PID" 2>/dev/null; do
    sleep 10
    kill -0 "$TOOL_PID" 2>/dev/null || break
    now=$(date +%s.%N); c=$(ticks "$TOOL_PID"); r=$(rss "$TOOL_PID"); l=$(cut -d' ' -f1 /proc/loadavg)
    [[ "$c" == -1 || "$r" == -1 ]] && break
    echo "$now $c $r $l" >>"$WORK/idle.csv"
    (( r > rmax )) && rmax=$r
    t1=$now; c1=$c; r1=$r; s1=$(ticks "$SIM_PID")
  done
  wait "$TOOL_PID" || true
  stop_sim
  awk -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v s0="$s0" -v s1="$s1" -v hz="$hz" \
      -v r0="$r0" -v r1="$r1" -v rmax="$rmax" 'BEGIN {
    el = t1 - t0
    printf "  %.0f s: tool CPU %.3f %% of one core (%d ticks of 1/%d s); simulator %.3f %%\n", el, (c1 - c0) / hz / el * 100, c1 - c0, hz, (s1 - s0) / hz / el * 100
    printf "  tool RSS start %d KiB, end %d KiB, max %d KiB\n", r0, r1, rmax }'
  awk -v t0="$t0" -v hz="$hz" 'NR > 1 { printf "%s%.2f", (NR > 2 ? " " : "  CPU % per 10 s: "), ($2 - pc) / hz / ($1 - pt) * 100 }
       { pt = $1; pc = $2; l = l " " $4 } END { printf "\n  load average at the samples:%s\n", l }' "$WORK/idle.csv"
  sed -n 's/^idle: \([0-9]* replies\).*/  \1 served/p' "$WORK/idle.log"
fi
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
