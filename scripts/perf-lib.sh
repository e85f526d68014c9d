# Sourced by the perf scripts: the simulated unit they measure against, and the
# Release build of perf-cli.sh and perf-scan.sh. The caller sets WORK, LINK and SIM
# (the simulator's path) before starting one; SIM_PID is the one running, if any.
PERF_NAME="$(basename "$0")"
SIM_PID=""

# Exits naming the packages to install unless every tool is on the PATH.
# Usage: need_tools "PACKAGES" TOOL...
need_tools() {
  local packages="$1" tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "$PERF_NAME: $tool is missing: apt-get install $packages" >&2
      exit 1
    fi
  done
}

stop_sim() {
  if [[ -n "$SIM_PID" ]]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
  fi
}

# Starts the simulator on $LINK with the given extra options; waits for its line.
start_sim() {
  stop_sim
  "$SIM" --link "$LINK" "$@" >"$WORK/sim.log" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 100); do
    grep -q "Unit simulator on" "$WORK/sim.log" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "$PERF_NAME: the simulator did not start:" >&2
  cat "$WORK/sim.log" >&2
  exit 1
}

# Configures $BUILD for Release once and builds the given targets in it.
build_release() {
  if [[ ! -f "$BUILD/build.ninja" ]]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  ninja -C "$BUILD" -j2 "$@" >/dev/null
}
