#!/usr/bin/env bash
# Builds Kalvaro with warnings as errors and runs every test headless:
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
# What the fuzzing and Windows steps need beyond the build's own packages.
export KALVARO_EXTRA_PACKAGES="clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine64"

# Runs one build folder's tests; prints only the summary unless something failed.
run_tests() {
  local dir=$1; shift
  if ! env "$@" ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 >"$dir/ctest.log" 2>&1; then
    cat "$dir/ctest.log"
    exit 1
  fi
  grep -E "tests passed|tests failed" "$dir/ctest.log"
}

echo "== ThreadSanitizer: platform and engine"
scripts/setup.sh build-tsan -DKALVARO_WERROR=ON -DKALVARO_GUI=OFF -DKALVARO_BENCH=OFF \
  -DKALVARO_SANITIZE=thread
run_tests build-tsan TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
scripts/setup.sh build-asan -DKALVARO_WERROR=ON -DKALVARO_BENCH=OFF \
  -DKALVARO_SANITIZE=address,undefined
run_tests build-asan ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="print_stacktrace=1"

echo "== Fuzzing: each target for a short while"
scripts/ci-fuzz.sh 15

echo "== Windows: engine and platform tests under Wine"
scripts/ci-wine.sh

echo "== Plain build: the Debian package, then the whole suite"
scripts/setup.sh build -DKALVARO_WERROR=ON
scripts/ci-package.sh build
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300
