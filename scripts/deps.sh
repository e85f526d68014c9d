#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, packaging and the demo need, and
# only those missing. Runs apt-get as root, through sudo when started as a normal user.
#
#   scripts/deps.sh           install what is missing
#   scripts/deps.sh PKG...    the same, with more packages (scripts/perf.sh adds its tools)
#   scripts/deps.sh --list    print the package names, one a line
#
# TAGRIS_SKIP_DEPS=1 installs nothing (a system that is not Debian, a user without sudo)
# and prints what is expected instead.
#
# Every package is named here: apt-get runs with --no-install-recommends, so nothing may
# come in as a mere Recommends of another. scripts/check-deps.sh (run by scripts/test.sh)
# fails when configure or build used a file from a package outside this list and its Depends.
set -euo pipefail

packages=(
  # building (Qt's configure asks pkg-config about optional libraries)
  cmake ninja-build g++ ccache pkgconf
  # Qt6Charts needs Qt6OpenGL, which is only a Recommends of qt6-base-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev
  # tests: frameworks, fonts for the offscreen window, a decimal-comma locale
  libgtest-dev libbenchmark-dev fonts-dejavu-core locales
  # fuzzing with libFuzzer (scripts/fuzz.sh); CMake archives with llvm-ar when llvm-14 is there
  clang libfuzzer-14-dev libclang-rt-14-dev llvm-14
  # the demo on a machine without a display (xvfb-run needs xauth)
  xvfb xauth
  # the Debian package and its checks (CPack runs file and dpkg-shlibdeps)
  dpkg-dev file lintian
  # Windows cross-build stage: mingw-w64 compiler, wine to run its tests, GoogleTest's
  # sources built for Windows, gcc for wine's TIOCMGET shim, unzip to check the zip
  g++-mingw-w64-x86-64-posix wine wine64 googletest gcc unzip
)
locale_wanted=ru_RU.UTF-8

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
packages+=("$@")

missing=()
if command -v dpkg-query >/dev/null; then
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
else
  missing=("${packages[@]}")
fi
locale_missing=
locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$' || locale_missing=1

if [ "${TAGRIS_SKIP_DEPS:-0}" = 1 ]; then
  echo "TAGRIS_SKIP_DEPS=1: installing nothing. Expected (Debian 12 package names):"
  printf '  %s\n' "${packages[*]}"
  echo "  and the locale $locale_wanted"
  if [ ${#missing[@]} -gt 0 ]; then echo "Not installed here: ${missing[*]}"; fi
  if [ -n "$locale_missing" ]; then echo "Locale $locale_wanted not generated here."; fi
  exit 0
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  # Waits for another apt-get that holds the lock instead of failing at once.
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  as_root "${apt[@]}" update -qq
  as_root env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A locale with a decimal comma, so the tests prove numbers keep their point.
if [ -n "$locale_missing" ]; then
  as_root localedef -i ru_RU -f UTF-8 "$locale_wanted" || echo "note: could not generate $locale_wanted"
fi
