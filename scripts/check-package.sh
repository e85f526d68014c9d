#!/usr/bin/env bash
# Builds the Debian package from a configured build folder and proves it:
#   1. `cmake --build BUILD --target package` makes BUILD/tagris_<version>_<arch>.deb;
#   2. its files: the programs, a man page for each, the desktop entry, the icon and the
#      copyright file, and nothing outside those places;
#   3. its control fields: name, version, and Depends with the Qt libraries and the
#      platform plugins, but nothing of the build (no -dev package, nothing of deps.sh);
#   4. lintian finds no error;
#   5. unpacked (dpkg -x) into a scratch folder, each command-line program answers --help;
#   6. the unpacked tagris runs offscreen for two seconds without dying.
#
#   scripts/check-package.sh [BUILD_DIR]      (default: build)
#
# The last line is "package: N passed, M failed", one for each numbered check.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || build=$repo/$build
passed=0
failed=0
scratch=$(mktemp -d /tmp/tagris-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

pass() { passed=$((passed + 1)); echo "package: ok: $*"; }
fail() { failed=$((failed + 1)); echo "package: FAILED: $*"; }
finish() { echo "package: $passed passed, $failed failed"; [ "$failed" -eq 0 ] && exit 0; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
arch=$(dpkg --print-architecture)
deb=$build/tagris_${version}_${arch}.deb
if [ -z "$version" ]; then
  fail "$build is not a configured build folder"
  finish
fi

# 1. Build it (a stale one from an earlier run does not count).
rm -f "$deb"
if cmake --build "$build" --target package >"$scratch/cpack.log" 2>&1 && [ -f "$deb" ]; then
  pass "built $deb"
else
  cat "$scratch/cpack.log"
  fail "cmake --build $build --target package made no $deb"
  finish
fi

# 2. Files.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$scratch/files"
problems=()
for f in usr/bin/tagris usr/bin/tagris-unit-sim usr/share/applications/tagris.desktop \
         usr/share/icons/hicolor/32x32/apps/tagris.png usr/share/doc/tagris/copyright; do
  grep -qx "$f" "$scratch/files" || problems+=("missing $f")
done
while read -r f; do
  case "$f" in
    usr/bin/*)
      grep -qx "usr/share/man/man1/${f#usr/bin/}.1.gz" "$scratch/files" || problems+=("$f has no man page") ;;
    usr/share/man/man[1-8]/*.[1-8].gz | usr/share/applications/tagris.desktop | \
      usr/share/icons/hicolor/*/apps/tagris.* | usr/share/doc/tagris/*) ;;
    *) problems+=("unexpected $f") ;;
  esac
done <"$scratch/files"
if [ ${#problems[@]} -eq 0 ]; then
  pass "files: $(grep -c . "$scratch/files") ($(grep '^usr/bin/' "$scratch/files" | sed 's|usr/bin/||' | tr '\n' ' ')with man pages)"
else
  printf '  %s\n' "${problems[@]}"
  fail "file list"
fi

# 3. Control fields.
problems=()
[ "$(dpkg-deb -f "$deb" Package)" = tagris ] || problems+=("Package is not tagris")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || problems+=("Version is not $version")
depends=$(dpkg-deb -f "$deb" Depends)
mapfile -t names < <(tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/:any//; s/[[:space:]]//g' | grep .)
# libqt6gui6 also holds the X11 platform plugin; Wayland's is qt6-wayland.
for want in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6charts6 qt6-wayland; do
  printf '%s\n' "${names[@]}" | grep -qx "$want" || problems+=("Depends lacks $want")
done
build_packages=$("$repo/scripts/deps.sh" --list)
for n in "${names[@]}"; do
  case "$n" in *-dev) problems+=("Depends has the development package $n") ;; esac
  grep -qx "$n" <<<"$build_packages" && problems+=("Depends has $n, a package of the build")
done
if [ ${#problems[@]} -eq 0 ]; then
  pass "Depends: $depends"
else
  printf '  %s\n' "${problems[@]}"
  fail "control fields (Depends: $depends)"
fi

# 4. lintian: errors fail; warnings and notes are shown.
if lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1; then
  pass "lintian: no errors$(grep -c '^W:' "$scratch/lintian.log" | sed 's/^0$//; s/^[1-9].*/ (& warnings)/')"
else
  fail "lintian"
fi
grep -E '^[EW]:' "$scratch/lintian.log" | sed 's/^/  /'

# 5. and 6. The unpacked programs.
dpkg -x "$deb" "$scratch/root"
problems=()
for program in "$scratch"/root/usr/bin/*; do
  name=${program##*/}
  [ "$name" = tagris ] && continue
  if ! "$program" --help >"$scratch/help.out" 2>"$scratch/help.err" || [ ! -s "$scratch/help.out" ]; then
    cat "$scratch/help.err" >>"$scratch/help.out"
    sed 's/^/  /' "$scratch/help.out" | head -n 20
    problems+=("$name --help")
  fi
done
if [ ${#problems[@]} -eq 0 ]; then
  pass "unpacked programs answer --help"
else
  fail "unpacked: ${problems[*]}"
fi

export XDG_RUNTIME_DIR="$scratch/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=offscreen timeout 2 "$scratch/root/usr/bin/tagris" >"$scratch/tagris.out" 2>&1
status=$?
if [ "$status" -eq 124 ]; then
  pass "unpacked tagris ran offscreen for two seconds"
else
  sed 's/^/  /' "$scratch/tagris.out" | head -n 20
  fail "unpacked tagris ended before two seconds with status $status"
fi

finish
