#!/usr/bin/env bash
# The Windows build, proven under wine as far as this Linux machine allows:
#   1. cross-builds the core, its plain C++ tests and the Windows port's test and probe
#      with mingw-w64 (build-win), and for this machine the simulated unit and the
#      TIOCMGET shim (build-win-host);
#   2. starts two simulated units on pseudo-terminals, reachable in wine as COM5 (it
#      answers) and COM6 (it hangs up on the first request and stays away);
#   3. runs every test of build-win under wine (ctest), the port test against both units;
#   4. measures through the port probe: the poll round trip (median of 50), and the CPU
#      that a wait uses on a quiet line and on a lost line over 3 s each: the program's
#      wine process and wineserver together must stay under 25 % of one core (a spin takes
#      all of it; wine itself polls a waiting port's modem lines about every millisecond).
# Wine on a pseudo-terminal: wine watches the modem lines with TIOCMGET while a program
# waits for serial events, and a pseudo-terminal refuses that ioctl, so wine would end
# every such wait at once; tests/win32/tiocmget_shim.c, preloaded into wine, answers
# "no lines set" instead. Real ports answer TIOCMGET and need no shim.
# wine's output, and the dump wineserver writes when a line hangs up, go to log files
# that are shown only for a failing step. The last line is "wine: N passed, M failed";
# the exit status is non-zero on any failure.
#
# To check another Windows program against a unit, in a step after the wine section:
#   start_unit COM7 --fault silent          # a unit with simulator options, as COM7
#   check "x reads" wine_run x-read "$win_build/x.exe" COM7 ...
#   wine_start x-wait "$win_build/x.exe" ...; share=$(cpu_percent 3 "$wine_pid"); wine_wait
#   stop_unit COM7
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

win_build=${TAGRIS_WINE_BUILD:-$root/build-win}
host_build=${TAGRIS_WINE_HOST_BUILD:-$root/build-win-host}
jobs=$(nproc)
cpu_limit=25

passed=0
failed=0
failures=()
run=$(mktemp -d /tmp/tagris-wine.XXXXXX)

section() { printf '\n== %s\n' "$*"; }
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  failures+=("$1")
  echo "FAILED: $1"
}

summary() {
  for f in "${failures[@]}"; do echo "failed: $f"; done
  echo "logs in $run"
  echo "wine: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

# Shows a log file, for a step that failed.
show() {  # show <file>...
  local f
  for f in "$@"; do
    [ -s "$f" ] || continue
    echo "---- $f (last 60 lines)"
    tail -n 60 "$f"
  done
}

# check <name> <command...>: one counted check.
check() {
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}

# wine_run <log name> <program.exe> [args...]: runs a Windows program under wine; its
# standard output is shown and kept in $run/<log name>.out, wine's noise on standard
# error goes to $run/<log name>.err and is shown only when the program fails.
wine_run() {
  local name=$1
  shift
  wine "$@" >"$run/$name.out" 2>"$run/$name.err"
  local rc=$?
  cat "$run/$name.out"
  [ "$rc" -eq 0 ] || show "$run/$name.err"
  return "$rc"
}

# wine_start <log name> <program.exe> [args...]: the same, started in the background;
# $wine_pid is its wine process. wine_wait waits for it and returns its status.
wine_start() {
  wine_name=$1
  shift
  wine "$@" >"$run/$wine_name.out" 2>"$run/$wine_name.err" &
  wine_pid=$!
}
wine_wait() {
  wait "$wine_pid"
  local rc=$?
  cat "$run/$wine_name.out"
  [ "$rc" -eq 0 ] || show "$run/$wine_name.err"
  return "$rc"
}

# CPU ticks (user + system) a process has used so far; 0 once it is gone.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }

# cpu_percent <seconds> <pid>...: the CPU these processes use together over the next
# seconds, in per cent of one core.
cpu_percent() {
  local seconds=$1 before=0 after=0 p
  shift
  for p in "$@"; do before=$((before + $(cpu_ticks "$p"))); done
  sleep "$seconds"
  for p in "$@"; do after=$((after + $(cpu_ticks "$p"))); done
  awk -v t=$((after - before)) -v s="$seconds" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", 100 * t / hz / s }'
}

# below_cpu_limit <per cent>: a share that no spinning loop could stay under.
below_cpu_limit() { awk -v p="$1" -v l="$cpu_limit" 'BEGIN { exit !(p < l) }'; }

declare -A unit_pids=()
# start_unit <COMn> [simulator options...]: a simulated unit on a pseudo-terminal of its
# own, reachable in wine as COMn. Waits until its line is there.
start_unit() {
  local com=${1^^}
  shift
  local link="$run/unit-${com,,}"
  "$host_build/tools/unitsim/tagris-unit-sim" --link "$link" "$@" \
    >"$run/unit-${com,,}.out" 2>>"$run/unit-${com,,}.log" &
  unit_pids[$com]=$!
  local tries=50
  while [ ! -e "$link" ] && [ $((tries -= 1)) -gt 0 ]; do sleep 0.1; done
  ln -sfn "$link" "$WINEPREFIX/dosdevices/${com,,}"
  [ -e "$link" ] || { show "$run/unit-${com,,}.log"; return 1; }
}

stop_unit() {  # stop_unit <COMn>
  local com=${1^^}
  local pid=${unit_pids[$com]:-}
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "unit_pids[$com]"
  rm -f "$WINEPREFIX/dosdevices/${com,,}"
}

wineserver_pid=
cleanup() {
  local com
  for com in "${!unit_pids[@]}"; do stop_unit "$com"; done
  if [ -n "$wineserver_pid" ]; then
    wineserver -k 2>/dev/null
    wait "$wineserver_pid" 2>/dev/null
  fi
}
trap cleanup EXIT

section "tools"
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null && [ -x /usr/lib/wine/wine64 ] || missing+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
command -v cc >/dev/null || missing+=(gcc)
if [ ${#missing[@]} -gt 0 ]; then
  fail "missing packages: ${missing[*]} (scripts/deps.sh installs them)"
  summary
  exit 1
fi
ccache_arg=()
command -v ccache >/dev/null && ccache_arg=(-DTAGRIS_CCACHE=ON)

section "host build: simulated unit and shim ($host_build)"
if cmake -S . -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGRIS_CORE_ONLY=ON \
     -DBUILD_TESTING=OFF "${ccache_arg[@]}" >"$run/host.configure.log" 2>&1 &&
   cmake --build "$host_build" -j "$jobs" --target tagris-unit-sim >"$run/host.build.log" 2>&1 &&
   cc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$host_build/tiocmget_shim.so" \
     tests/win32/tiocmget_shim.c -ldl >"$run/shim.build.log" 2>&1; then
  pass
else
  show "$run/host.configure.log" "$run/host.build.log" "$run/shim.build.log"
  fail "host build"
  summary
  exit 1
fi

section "cross-build for Windows ($win_build)"
if cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAGRIS_WERROR=ON -DBUILD_TESTING=ON "${ccache_arg[@]}" \
     >"$run/win.configure.log" 2>&1 &&
   cmake --build "$win_build" -j "$jobs" >"$run/win.build.log" 2>&1; then
  pass
else
  show "$run/win.configure.log" "$run/win.build.log"
  fail "cross-build"
  summary
  exit 1
fi

section "wine"
export WINEPREFIX="$win_build/wine"
export WINEDEBUG=-all
export WINEARCH=win64
# No downloads of .NET or HTML engines into the prefix: console programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LD_PRELOAD="$host_build/tiocmget_shim.so"
# A server left over from an earlier run would not have the shim.
wineserver -k 2>/dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the wine prefix $WINEPREFIX"
  wineboot -i >"$run/wineboot.log" 2>&1 || { show "$run/wineboot.log"; fail "wine prefix"; summary; exit 1; }
  wineserver -w
fi
# One server for the whole run: each program then starts in a fraction of a second.
wineserver -f -p </dev/null >"$run/wineserver.log" 2>&1 &
wineserver_pid=$!
# The first program starts wine's own background services, which inherit its output and
# live as long as the server: started here with a log file, so that no later program's
# pipe (ctest's, for one) stays open after that program ends.
if wine cmd.exe /c exit </dev/null >"$run/wine-services.log" 2>&1; then
  pass
else
  show "$run/wine-services.log"
  fail "wine start"
fi

section "simulated units"
export TAGRIS_TEST_PORT=COM5 TAGRIS_TEST_HANGUP_PORT=COM6
check "unit on COM5" start_unit COM5
check "hanging-up unit on COM6" start_unit COM6 --fault hangup --hangup-ms 600000

section "tests under wine (ctest)"
ctest --test-dir "$win_build" -j "$jobs" --output-on-failure >"$run/ctest.log" 2>&1
ctest_rc=$?
grep -aE '^ *[0-9]+/[0-9]+ Test|tests passed|Total Test time' "$run/ctest.log"
line=$(grep -aE '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$run/ctest.log" | tail -n 1)
if [ -z "$line" ]; then
  show "$run/ctest.log"
  fail "ctest: no test ran"
else
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$bad" -gt 0 ]; then
    failures+=("ctest: $bad of $total tests")
    show "$run/ctest.log"
  elif [ "$ctest_rc" -ne 0 ]; then
    fail "ctest exit status $ctest_rc"
  fi
fi

section "port figures (probe)"
probe="$win_build/tests/win32/tagris-port-probe.exe"

# value <key> <file>: the number after "key=" on the probe's line.
value() { grep -aoE "(^| )$1=[0-9.]+" "$2" | tail -n 1 | cut -d= -f2; }

# spin_check <what> <log name> <probe args...>: runs the probe for 6 s and measures the
# CPU of its wine process and of wineserver over 3 s in the middle, past the start-up.
spin_check() {
  local what=$1 name=$2
  shift 2
  wine_start "$name" "$probe" "$@" 6
  sleep 2
  local share
  share=$(cpu_percent 3 "$wine_pid" "$wineserver_pid")
  if ! wine_wait; then
    fail "$what: the probe failed"
    return
  fi
  echo "$what: the wine process and wineserver use $share % of one core"
  check "$what: no spin" below_cpu_limit "$share"
}

check "poll round trip" wine_run probe-poll "$probe" poll COM5 50
spin_check "quiet line, waiting" probe-idle idle COM5
# The unit on COM6 is gone for good after the port test: a fresh one to hang up.
stop_unit COM6
check "hanging-up unit on COM6 again" start_unit COM6 --fault hangup --hangup-ms 600000
spin_check "lost line, receive loop" probe-lost lost COM6

poll_out="$run/probe-poll.out"
echo "figures: poll round trip through the Win32 port under wine on a pseudo-terminal (not a real port):" \
  "median $(value median_ms "$poll_out") ms, min $(value min_ms "$poll_out") ms," \
  "max $(value max_ms "$poll_out") ms over $(value count "$poll_out") polls;" \
  "hang-up reported after $(value lost_after_ms "$run/probe-lost.out") ms"

section "summary"
summary
