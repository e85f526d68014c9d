#!/usr/bin/env bash
# Installs what is missing, builds tagris and its unit simulator, and starts both:
# the tool shows live values from the simulated unit on a virtual serial line.
# TAGRIS_SKIP_DEPS=1: install nothing, only say which packages are expected.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGRIS_CCACHE=ON >/dev/null
cmake --build build -j "$(nproc)" --target tagris tagris-unit-sim

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting under a virtual X server (xvfb-run); nothing will be visible."
  exec xvfb-run -a scripts/run-with-sim.sh build
fi
exec scripts/run-with-sim.sh build
