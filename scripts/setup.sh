#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Kalvaro
# (only when asked to), then configures and builds one preset's build folder.
#   scripts/setup.sh [--install] [<preset> [extra cmake arguments...]]
# --install: apt-get installs the missing packages (with sudo when not
#   root); without it nothing is installed and a missing package is only
#   named. KALVARO_EXTRA_PACKAGES names more Debian packages to install (the
#   test script's static, fuzzing and Windows checks need some that building
#   does not).
# <preset>: a configure preset of CMakePresets.json (dev, asan, tsan, ...);
#   the build preset of the same name builds it.
set -euo pipefail
cd "$(dirname "$0")/.."

install=no
if [ "${1:-}" = --install ]; then install=yes; shift; fi

packages=(
  g++ cmake ninja-build pkgconf libudev-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation xvfb xauth x11-utils imagemagick xdotool ser2net
  desktop-file-utils appstream dpkg-dev poppler-utils
)
# shellcheck disable=SC2206 # a blank-separated list of package names
packages+=(${KALVARO_EXTRA_PACKAGES:-})

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$install" = yes ]; then
    echo "== installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "setup: not installed: ${missing[*]} (scripts/setup.sh --install installs them)" >&2
  fi
fi

(($#)) || exit 0
preset="$1"; shift
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset"
