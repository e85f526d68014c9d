#!/usr/bin/env bash
# Try the tool with no hardware: start the simulated unit on a pseudo-terminal,
# then the tool; the simulator stops when the tool exits. Builds nothing.
#
#   scripts/run-with-sim.sh [BUILD_DIR] [-- COMMAND [ARGS...]]
#
# BUILD_DIR holds a finished build (default: $TAGRIS_BUILD_DIR, else "build"); a relative
# one is taken from the current folder if it is there, else from the repository.
# A COMMAND after "--" runs instead of the tool, against the same simulated unit.
#
# Environment:
#   TAGRIS_SIM          the simulator (default BUILD_DIR/tools/unitsim/tagris-unit-sim)
#   TAGRIS_APP          the tool (default BUILD_DIR/src/app/tagris)
#   TAGRIS_SIM_LINK     the path the tool opens as its port (default: the simulator's own,
#                       $XDG_RUNTIME_DIR/tagris-unit when that is a directory, else
#                       /tmp/tagris-unit-$USER, so two users on one machine do not collide)
#   TAGRIS_SIM_ADDRESS  the unit's Modbus address (default 5)
#   TAGRIS_SIM_ARGS     more simulator options, e.g. "--pace 9600 --fault bursts:0.1 -v"
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAGRIS_BUILD_DIR:-build}
if [[ $# -gt 0 && $1 != -- ]]; then
  build=$1
  shift
fi
if [[ $# -gt 0 && $1 == -- ]]; then
  shift
fi
if [[ $build != /* && ! -d $build ]]; then
  build=$repo/$build
fi
sim=${TAGRIS_SIM:-$build/tools/unitsim/tagris-unit-sim}
app=${TAGRIS_APP:-$build/src/app/tagris}
# The simulator's default link, by its rule; passed explicitly so the hint below names it.
default_link() {
  if [[ -n ${XDG_RUNTIME_DIR:-} && -d $XDG_RUNTIME_DIR ]]; then
    echo "$XDG_RUNTIME_DIR/tagris-unit"
  else
    echo "/tmp/tagris-unit-${USER:-$(id -un 2>/dev/null || id -u)}"
  fi
}
link=${TAGRIS_SIM_LINK:-$(default_link)}
address=${TAGRIS_SIM_ADDRESS:-5}

need=("$sim")
if [[ $# -eq 0 ]]; then
  need+=("$app")
fi
for program in "${need[@]}"; do
  if [[ ! -x $program ]]; then
    echo "run-with-sim: $program not found; build first: cmake -S . -B build -G Ninja && cmake --build build" >&2
    exit 1
  fi
done

workdir=$(mktemp -d)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Its first line on stdout names the line; later news (hang-ups, address changes) goes to stderr.
# shellcheck disable=SC2086 # TAGRIS_SIM_ARGS is a list of options
"$sim" --link "$link" --address "$address" ${TAGRIS_SIM_ARGS:-} >"$workdir/sim.out" &
sim_pid=$!

ready=
for ((i = 0; i < 200; i++)); do
  if grep -q '^Unit simulator on ' "$workdir/sim.out"; then
    ready=1
    break
  fi
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    break
  fi
  sleep 0.05
done
if [[ -z $ready ]]; then
  echo "run-with-sim: the simulator did not start (see its message above)" >&2
  exit 1
fi
cat "$workdir/sim.out"
echo "In the tool: type $link into the port box, address $address and the line settings above"
echo "(9600 baud, no parity, 1 stop bit unless TAGRIS_SIM_ARGS says otherwise), then connect."

set +e
if [[ $# -gt 0 ]]; then
  "$@"
else
  "$app"
fi
status=$?
set -e
exit "$status"
