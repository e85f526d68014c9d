#!/usr/bin/env bash
# Fails when configure or build used a file from a Debian package that scripts/deps.sh does
# not install, also on a machine where that package happens to be installed by hand.
#
#   scripts/check-deps.sh [--packages FILE] [--no-tools] BUILD_DIR...
#
# For each finished build folder it collects the system files really used: programs and
# CMake package files recorded in CMakeCache.txt, every header in the
# compiler's dependency records (ninja's log, or the .d files of other generators), the
# libraries on the link lines and those the built programs load. Then it adds the commands
# the scripts run themselves (xvfb-run, lintian, ...; --no-tools leaves them out). Each file
# is mapped to its package with dpkg -S, and each package must be in the closure of the
# list under Depends and Pre-Depends only (apt-cache depends --recurse), or be part of every
# Debian system (Essential, and apt). A file that no package holds fails too.
#
# FILE: the package list, one a line (default: scripts/deps.sh --list).
# The last line is "deps: N passed, M failed" (one check per folder, one for the commands).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages_file=
check_tools=1
dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --packages) packages_file=$2; shift ;;
    --no-tools) check_tools=0 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "check-deps: unknown option $1" >&2; exit 2 ;;
    *) dirs+=("$1") ;;
  esac
  shift
done
# Commands the scripts run themselves, outside any build folder's records.
tools=(cmake ctest ninja xvfb-run xauth lintian dpkg-shlibdeps file localedef)

if ! command -v dpkg-query >/dev/null || ! command -v apt-cache >/dev/null; then
  echo "deps: not a Debian system; nothing checked"
  echo "deps: 0 passed, 0 failed"
  exit 0
fi

work=$(mktemp -d /tmp/tagris-check-deps.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

if [ -n "$packages_file" ]; then
  grep -v '^[[:space:]]*\(#\|$\)' "$packages_file" | sort -u >"$work/listed"
else
  "$repo/scripts/deps.sh" --list | sort -u >"$work/listed"
fi

# What a fresh system has anyway, then the closure under Depends and Pre-Depends.
dpkg-query -W -f='${Essential} ${Package}\n' | awk '$1 == "yes" { print $2 }' >"$work/base"
echo apt >>"$work/base"
# shellcheck disable=SC2046 # package names, one word each
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances $(cat "$work/listed" "$work/base") 2>/dev/null |
  awk '/^[^ ]/ { gsub(/[<>]/, ""); sub(/:.*/, ""); print }' | sort -u >"$work/allowed"
unknown=$(comm -23 "$work/listed" "$work/allowed")
if [ -n "$unknown" ]; then
  echo "deps: apt knows no package named: $unknown (run apt-get update, or fix scripts/deps.sh)"
  echo "deps: 0 passed, 1 failed"
  exit 1
fi

# Owners of the given absolute paths (one a line) as "path<TAB>package" lines. A path is
# also looked up as the file it resolves to, and under its twin of the merged /usr (dpkg
# knows /lib/x86_64-linux-gnu/libc.so.6, the linker says /usr/lib/...).
owners() {  # owners <paths-file> <out-file>
  local in=$1 out=$2
  xargs -r -d '\n' realpath -m -- <"$in" >"$work/real"
  paste "$in" "$work/real" | awk -F'\t' '
    function twin(p) {
      if (p ~ /^\/usr\/(lib|lib32|lib64|libx32|bin|sbin)\//) return substr(p, 5)
      if (p ~ /^\/(lib|lib32|lib64|libx32|bin|sbin)\//) return "/usr" p
      return ""
    }
    { n = split($1 "\t" $2 "\t" twin($1) "\t" twin($2), c, "\t")
      for (i = 1; i <= n; i++) if (c[i] != "") print $1 "\t" c[i] }' | sort -u >"$work/candidates"
  cut -f2 "$work/candidates" | sort -u >"$work/lookup"
  # "pkg1, pkg2: /path" per found path; diversions and misses are left out.
  xargs -r -d '\n' dpkg-query -S -- <"$work/lookup" 2>/dev/null |
    awk '!/^diversion by/ { i = index($0, ": "); p = substr($0, i + 2)
           n = split(substr($0, 1, i - 1), k, ", "); for (j = 1; j <= n; j++) { sub(/:.*/, "", k[j]); print p "\t" k[j] } }' |
    sort -u >"$work/found"
  awk -F'\t' 'NR == FNR { own[$1] = own[$1] " " $2; next } { if ($2 in own) print $1 "\t" own[$2] }' \
    "$work/found" "$work/candidates" | sort -u >"$out"
}

# Judges the paths in a file; prints what is wrong and returns non-zero then.
judge() {  # judge <name> <paths-file>
  local name=$1 paths=$2
  owners "$paths" "$work/owned"
  awk -F'\t' -v name="$name" '
    FILENAME == ARGV[1] { ok[$1] = 1; next }
    FILENAME == ARGV[2] { for (i = 2; i <= NF; i++) { n = split($i, k, " "); for (j = 1; j <= n; j++) own[$1] = own[$1] " " k[j] } next }
    { path = $0
      if (!(path in own)) { stray++; if (stray <= 5) print "  " path ": no Debian package holds it (installed by hand?)"; next }
      n = split(own[path], k, " "); good = 0
      for (j = 1; j <= n; j++) { pkgs[k[j]] = 1; if (k[j] in ok) good = 1 }
      if (!good) { if (!(k[1] in bad)) order[++nb] = k[1]; bad[k[1]]++; if (!(k[1] in first)) first[k[1]] = path }
      files++ }
    END {
      if (stray > 5) print "  ... and " stray - 5 " more files that no package holds"
      for (i = 1; i <= nb; i++) { p = order[i]
        printf "  %s: used but not installed by scripts/deps.sh, nor a Depends of what it installs (%s", p, first[p]
        if (bad[p] > 1) printf " and %d more", bad[p] - 1
        print ")" }
      np = 0; for (p in pkgs) np++
      if (stray || nb) exit 1
      printf "deps: %s: %d files from %d packages, all installed by scripts/deps.sh\n", name, files, np }' \
    "$work/allowed" "$work/owned" "$paths"
}

# Absolute system paths of the files a finished build folder used, one a line.
used_files() {  # used_files <build-dir>
  local dir=$1 cache=$1/CMakeCache.txt cxx
  # Programs that configure found, and CMake's own. Libraries count where they are linked
  # (a module may record one that nobody uses). Left out as found but not used here: the
  # dashboard tools of include(CTest) (valgrind, gcov, git, ...), and the binary tools CMake
  # notes for features these builds do not use (IPO's archiver, a linker the compiler
  # driver does not call, objdump, ...).
  grep -v -E '^(MEMORYCHECK|COVERAGE|GIT|HG|SVN|CVS|P4|BZR)_?COMMAND:' "$cache" |
    grep -v -E '^CMAKE_(ADDR2LINE|DLLTOOL|LINKER|NM|OBJCOPY|OBJDUMP|READELF|[A-Z]+_COMPILER_(AR|RANLIB)):' |
    sed -n -e 's/^[A-Za-z0-9_.+-]*:FILEPATH=\(\/.*\)$/\1/p' -e 's/^CMAKE_COMMAND:INTERNAL=//p' |
    grep -v '\.\(so\|a\)\(\.[0-9.]*\)\?$' || true
  # Package files of the packages found: <Name>_DIR holds <Name>Config.cmake or
  # <name>-config.cmake. (Other files there may be optional parts that other packages add.)
  sed -n 's/^\([A-Za-z0-9_.+-]*\)_DIR:PATH=\(\/.*\)$/\1 \2/p' "$cache" | while read -r name d; do
    for f in "$d/${name}Config.cmake" "$d/${name,,}-config.cmake"; do
      if [ -f "$f" ]; then echo "$f"; break; fi
    done
  done
  # Headers, from the compiler's dependency records.
  if [ -f "$dir/build.ninja" ]; then
    ninja -C "$dir" -t deps 2>/dev/null | awk '/^    \// { print $1 }'
  else
    find "$dir" -name '*.d' -exec cat {} + 2>/dev/null | tr -s ' \\' '\n\n' | grep '^/' || true
  fi
  # Libraries on the link lines: full paths as they are, -lname as the compiler finds it.
  # (A toolchain file sets the compiler outside the cache: then CMake's record of it.)
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
  [ -n "$cxx" ] || cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$dir"/CMakeFiles/*/CMakeCXXCompiler.cmake 2>/dev/null | head -n 1)
  [ -n "$cxx" ] || cxx=c++
  { grep -h '^ *LINK_LIBRARIES = ' "$dir/build.ninja" 2>/dev/null || true
    find "$dir" -name link.txt -exec cat {} + 2>/dev/null || true; } |
    tr ' ' '\n' | sort -u | while read -r w; do
      case "$w" in
        /*.so | /*.so.* | /*.a) echo "$w" ;;
        -l?*)
          for ext in so a; do
            f=$("$cxx" -print-file-name="lib${w#-l}.$ext" 2>/dev/null) || f=
            if [[ $f == /* ]]; then echo "$f"; break; fi
          done ;;
      esac
    done
  # Libraries the built programs load.
  find "$dir" -type f \( -perm -u+x -o -name '*.so' \) -size +1k 2>/dev/null | while read -r f; do
    [ "$(head -c 4 "$f" | tr -d '\0')" = $'\x7fELF' ] || continue
    ldd "$f" 2>/dev/null | sed -n 's/.*=> \(\/[^ ]*\) (.*/\1/p'
  done
}

for dir in "${dirs[@]}"; do
  abs=$(cd "$dir" 2>/dev/null && pwd -P) || abs=
  if [ -z "$abs" ] || [ ! -f "$abs/CMakeCache.txt" ]; then
    echo "deps: $dir: not a configured build folder"
    failed=$((failed + 1))
    continue
  fi
  # Files of the tree and of the build are the project's own.
  used_files "$abs" | awk -v r="$repo/" -v b="$abs/" '/^\// && index($0, r) != 1 && index($0, b) != 1' |
    sort -u >"$work/used"
  headers=$(grep -c '\.\(h\|hpp\)$\|/include/' "$work/used" || true)
  if [ "$headers" -eq 0 ]; then
    echo "deps: $dir: no system header in its dependency records: build it first"
    failed=$((failed + 1))
  elif judge "$dir" "$work/used"; then
    passed=$((passed + 1))
  else
    echo "deps: $dir: FAILED (add the package to scripts/deps.sh)"
    failed=$((failed + 1))
  fi
done

if [ "$check_tools" = 1 ]; then
  : >"$work/used"
  missing=()
  for t in "${tools[@]}"; do
    if p=$(command -v "$t"); then echo "$p" >>"$work/used"; else missing+=("$t"); fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: commands the scripts run are missing: ${missing[*]}"
    failed=$((failed + 1))
  elif judge "commands the scripts run" "$work/used"; then
    passed=$((passed + 1))
  else
    echo "deps: commands the scripts run: FAILED (add the package to scripts/deps.sh)"
    failed=$((failed + 1))
  fi
fi

echo "deps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
