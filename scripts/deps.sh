#!/usr/bin/env bash
# Installs what building, running and testing tagris needs on Debian 12, and only
# what is missing. Runs apt-get as root, through sudo when started as a normal user.
set -euo pipefail

packages=(
  cmake ninja-build g++ ccache pkg-config
  qt6-base-dev qt6-charts-dev libgl-dev
  libgtest-dev libbenchmark-dev
  clang libfuzzer-14-dev libclang-rt-14-dev
  fonts-dejavu-core xvfb xauth x11-apps imagemagick
  locales mbpoll
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A locale with a decimal comma, so the tests prove numbers keep their point.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  as_root localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || echo "note: could not generate ru_RU.UTF-8"
fi
