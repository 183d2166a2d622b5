#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Kalvaro,
# then configures and builds one build folder.
#   scripts/setup.sh <build-dir> [extra cmake arguments...]
# KALVARO_EXTRA_PACKAGES names more Debian packages to install (the test
# script's fuzzing and Windows checks need some that building does not).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkgconf libudev-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation xvfb xauth x11-utils imagemagick xdotool
  desktop-file-utils appstream dpkg-dev poppler-utils
)
# shellcheck disable=SC2206 # a blank-separated list of package names
packages+=(${KALVARO_EXTRA_PACKAGES:-})

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir="$1"; shift
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir"
