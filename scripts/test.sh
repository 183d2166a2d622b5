#!/usr/bin/env bash
# Installs what the machine lacks, then builds Kalvaro with warnings as errors
# and runs every check headless:
#  0. the formatter and clang-tidy on the product code (scripts/ci-tidy.sh),
#  1. the engine and platform tests under ThreadSanitizer,
#  2. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#  3. the libFuzzer targets for a short while each (clang),
#  4. the engine and platform tests cross-built for Windows, run under Wine,
#  5. the whole suite in a plain build (with a one-minute soak), after the
#     Debian package has been built, installed, started and removed.
# Each step stops the script when it fails; the last line is CTest's summary.
# All of it runs where this machine's own serial ports are hidden
# (scripts/hide-serial-ports.sh), which one test checks.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KALVARO_SERIAL_GUARD:-}" ]; then exec scripts/hide-serial-ports.sh scripts/test.sh "$@"; fi
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# What the static, fuzzing and Windows steps need beyond the build's own packages.
export KALVARO_EXTRA_PACKAGES="clang clang-format clang-tidy libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine64"
scripts/setup.sh --install

# Builds one preset and runs its tests (the test preset of the same name);
# prints only the summary unless something failed.
run_tests() {
  local preset=$1 dir=$2
  scripts/setup.sh "$preset"
  if ! ctest --preset "$preset" -j "$jobs" >"$dir/ctest.log" 2>&1; then
    cat "$dir/ctest.log"
    exit 1
  fi
  grep -E "tests passed|tests failed" "$dir/ctest.log"
}

echo "== Formatting and clang-tidy"
scripts/ci-tidy.sh

echo "== ThreadSanitizer: platform and engine"
run_tests tsan build-tsan

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
run_tests asan build-asan

echo "== Fuzzing: each target for a short while"
scripts/ci-fuzz.sh 15

echo "== Windows: engine and platform tests under Wine"
scripts/ci-wine.sh

echo "== Plain build: the Debian package, then the whole suite"
scripts/setup.sh dev
scripts/ci-package.sh build
ctest --preset dev -j "$jobs"
