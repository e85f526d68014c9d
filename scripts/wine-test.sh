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
#      all of it; wine itself polls a waiting port's modem lines about every millisecond);
#   5. runs tagris-cli.exe against simulated units: read --json (the unit's still values),
#      watch --count 5, scan over every COM port, read on a line that hangs up (exit
#      status 1, as for any lost port), watch across an unplug (lost, waiting without a
#      spin, resumed when the device is back) ended by Ctrl+C (SIGINT, which wine hands to
#      the console handler);
#   6. builds the zip of tagris-cli.exe (target windows-zip), checks what it holds and
#      that its copy runs alone, and times that copy's read as a whole process.
# Wine on a pseudo-terminal: wine watches the modem lines with TIOCMGET while a program
# waits for serial events, and a pseudo-terminal refuses that ioctl, so wine would end
# every such wait at once; tests/win32/tiocmget_shim.c, preloaded into wine, answers
# "no lines set" instead. Real ports answer TIOCMGET and need no shim.
# wine's output, and the dump wineserver writes when a line hangs up, go to log files
# that are shown only for a failing step. The last line is "wine: N passed, M failed";
# the exit status is non-zero on any failure.
#
# To check another Windows program against a unit, in a step after the wine section:
#   start_unit COM12 --fault silent          # a unit with simulator options, as COM12
#   check "x reads" wine_run x-read "$win_build/x.exe" COM12 ...
#   wine_start x-wait "$win_build/x.exe" ...; share=$(cpu_percent 3 "$wine_pid"); wine_wait
#   stop_unit COM12
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
command -v unzip >/dev/null || missing+=(unzip)
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

section "tagris-cli.exe against simulated units"
cli="$win_build/src/cli/tagris-cli.exe"
# The port test's units are done with: scan below is to find only the ones started here.
stop_unit COM5
stop_unit COM6

# crlf_free <file>: a program's output without the CR that Windows' text mode puts before each LF.
crlf_free() { tr -d '\r' <"$1"; }

# The program runs alone: the compiler's runtime is linked in, no DLL of it is imported.
runtime_dlls() { x86_64-w64-mingw32-objdump -p "$1" | grep -iE 'DLL Name: *lib(stdc\+\+|gcc|winpthread)'; }
check "tagris-cli.exe imports no runtime DLL" eval '! runtime_dlls "$cli"'

check "still unit on COM7" start_unit COM7 --no-drift
check "read --json: exit status 0" wine_run cli-read "$cli" read --json --port COM7
# The simulated unit's values before anything drifts or is written (tools/unitsim/unit_model.cpp).
json=$(crlf_free "$run/cli-read.out")
expected=('{"registers":[4,0,100,115,80,105,130,' '"moisture":1.2,' '"moisture_unlimited":1.2,' '"temperature":27,'
  '"mix_temperature":27.6,' '"peak_frequency":2031.26953125,' '"peak_width":12.421875,' '"medium":"oil",'
  '"channel":1,' '{"grade":-2,"salinity":95},' '{"grade":4.5,"salinity":115}]'
  '"serial":{"baud":9600,"parity":"none","stop":1}' '"dac":2047}}')
wrong=()
for e in "${expected[@]}"; do [[ $json == *"$e"* ]] || wrong+=("$e"); done
[ "$(wc -l <<<"$json")" -eq 1 ] || wrong+=("one line")
[ ${#wrong[@]} -eq 0 ] || echo "read --json lacks: ${wrong[*]}"
check "read --json: the unit's values" test ${#wrong[@]} -eq 0

# A CSV name outside the ANSI code page: the arguments must arrive as typed.
csv_name='tagris-watch-ü.csv'
rm -f "$WINEPREFIX/drive_c/$csv_name"
check "watch --count 5: exit status 0" wine_run cli-watch "$cli" watch --count 5 --interval 0.2 --port COM7 \
  --csv "C:\\$csv_name"
# Local time with the machine's own offset, then the status and the unit's values.
offset=$(date +%:z)
line_re="^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\${offset} ok moisture 1\\.20 % "
check "watch --count 5: five ok lines with the local time" \
  test "$(crlf_free "$run/cli-watch.out" | grep -cE "$line_re")" -eq 5 -a "$(wc -l <"$run/cli-watch.out")" -eq 5
check "watch --count 5: the CSV file, named as typed, has a header and five rows" \
  test "$(grep -c ',ok,1.2,' "$WINEPREFIX/drive_c/$csv_name" 2>/dev/null)" -eq 5 -a \
  "$(head -n 1 "$WINEPREFIX/drive_c/$csv_name" 2>/dev/null | cut -d, -f1-2)" = "time,status"

check "scan over every COM port: exit status 0" \
  wine_run cli-scan "$cli" scan --all --json --address 5 --bauds 9600 --parities none --stops 1
check "scan over every COM port: the unit on COM7 and no other" \
  test "$(crlf_free "$run/cli-scan.out")" = \
  '[{"port":"COM7","baud":9600,"parity":"none","stop":1,"address":5,"unit_serial":{"baud":9600,"parity":"none","stop":1}}]'

check "hanging-up unit on COM8" start_unit COM8 --fault hangup --hangup-ms 600000
wine "$cli" read --port COM8 >"$run/cli-hangup.out" 2>"$run/cli-hangup.err"
hangup_rc=$?
echo "read on a line that hangs up: exit status $hangup_rc; $(head -n 1 "$run/cli-hangup.err")"
check "read on a line that hangs up: exit status 1, the port lost" \
  test "$hangup_rc" -eq 1 -a "$(grep -c 'hung up or disappeared' "$run/cli-hangup.err")" -eq 1
stop_unit COM8

# wait_until <seconds> <command...>: until the command succeeds.
wait_until() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    [ $((tries -= 1)) -gt 0 ] || return 1
    sleep 0.1
  done
}
# wait_for <seconds> <text> <file>: until a line of the file holds the text.
wait_for() { wait_until "$1" grep -q -- "$2" "$3"; }

# An unplug keeps the line away for 8 s: watch reports it lost, tries to reopen the port
# once a second meanwhile, and resumes once the simulator's new pseudo-terminal is there
# (wine follows COM9's link to it when the port is opened again).
check "unit on COM9 for unplugging" start_unit COM9 --no-drift --unplug-ms 8000
rm -f "$WINEPREFIX/drive_c/tagris-unplug.csv"
wine_start cli-unplug "$cli" watch --interval 0.2 --port COM9 --csv 'C:\tagris-unplug.csv'
unplug_out="$run/cli-unplug.out"
if wait_for 15 ' ok ' "$unplug_out"; then
  kill -USR1 "${unit_pids[COM9]}"
  check "watch: a lost line when the adapter is pulled" wait_for 5 ' lost' "$unplug_out"
  sleep 1
  share=$(cpu_percent 3 "$wine_pid" "$wineserver_pid")
  echo "watch waiting for the device: the wine process and wineserver use $share % of one core"
  check "watch waiting for the device: still running, no spin" \
    eval 'kill -0 "$wine_pid" 2>/dev/null && below_cpu_limit "$share"'
  check "watch: resumed when the device is back" wait_for 15 ' resumed' "$unplug_out"
  ok_after_resumed() { crlf_free "$unplug_out" | sed -n '/ resumed /,$p' | grep -q ' ok '; }
  check "watch: ok again after that" wait_until 5 ok_after_resumed
else
  fail "watch on COM9: no ok line"
fi
# Ctrl+C: wine hands SIGINT to the console handler, which ends watch after its line.
kill -INT "$wine_pid" 2>/dev/null
wait "$wine_pid"
unplug_rc=$?
[ "$unplug_rc" -eq 0 ] || show "$run/cli-unplug.err"
check "watch: Ctrl+C ends it with exit status 0" test "$unplug_rc" -eq 0
unplug_statuses=$(crlf_free "$unplug_out" | cut -d' ' -f2 | uniq | tr '\n' ' ')
echo "watch across the unplug: $unplug_statuses"
check "watch: ok, lost, resumed, ok in this order" test "$unplug_statuses" = "ok lost resumed ok "
check "watch: the CSV file holds every line shown" \
  test "$(tail -n +2 "$WINEPREFIX/drive_c/tagris-unplug.csv" | cut -d, -f1-2)" = \
  "$(crlf_free "$unplug_out" | cut -d' ' -f1-2 | tr ' ' ,)"
stop_unit COM9

section "Windows zip"
if cmake --build "$win_build" --target windows-zip >"$run/zip.log" 2>&1; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")
  zip="$win_build/tagris-cli-$version-win64.zip"
  unzip -l "$zip"
  check "zip holds tagris-cli.exe and README.txt in its folder" \
    test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = \
    "tagris-cli-$version-win64/README.txt tagris-cli-$version-win64/tagris-cli.exe "
  # The zip's own copy (stripped) runs from a folder of its own, with nothing beside it.
  rm -rf "$run/unzipped"
  unzip -q "$zip" -d "$run/unzipped"
  check "the zipped tagris-cli.exe runs alone" \
    test "$(wine "$run/unzipped/tagris-cli-$version-win64/tagris-cli.exe" --version 2>/dev/null | tr -d '\r')" = \
    "tagris-cli $version"
else
  show "$run/zip.log"
  fail "windows-zip"
fi

section "figures: tagris-cli.exe read under wine"
# ms_of <command...>: the wall time of one whole process in milliseconds.
ms_of() {
  local start end
  start=${EPOCHREALTIME/./}
  "$@" >/dev/null 2>>"$run/cli-timing.err" || return 1
  end=${EPOCHREALTIME/./}
  awk -v us=$((end - start)) 'BEGIN { printf "%.1f\n", us / 1e3 }'
}
# time_runs <runs> <command...>: "median M ms, min N ms over R runs".
time_runs() {
  local runs=$1 i
  shift
  for ((i = 0; i < runs; i++)); do ms_of "$@" || return 1; done | sort -n |
    awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                              printf "median %.1f ms, min %.1f ms over %d runs", m, v[1], NR }'
}
# The zip's copy, as users get it: the build's copy carries debug information, which
# wine takes about 30 ms more to load at each start.
timed_cli="$run/unzipped/tagris-cli-${version:-}-win64/tagris-cli.exe"
[ -f "$timed_cli" ] || timed_cli=$cli
if read_times=$(time_runs 20 wine "$timed_cli" read --port COM7) &&
   version_times=$(time_runs 20 wine "$timed_cli" --version); then
  pass
  echo "figures: tagris-cli.exe read under wine on a pseudo-terminal (not a real port), whole process" \
    "with wineserver running: $read_times; tagris-cli.exe --version: $version_times"
else
  show "$run/cli-timing.err"
  fail "tagris-cli.exe read timing"
fi
stop_unit COM7

section "summary"
summary
