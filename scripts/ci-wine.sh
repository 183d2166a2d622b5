#!/usr/bin/env bash
# Cross-builds the serial engine, the platform layer and their tests for
# Windows with MinGW-w64 and runs the tests under Wine, each test program on
# a null-modem cable of its own:
#  - tests/wine/ptycables.c makes the cables out of pty pairs;
#  - Wine's port table (HKLM\Software\Wine\Ports) makes their ends COM1,
#    COM2, ... (Wine would point its own links at the machine's real serial
#    ports, which tests never touch);
#  - tests/wine/ptymodem_shim.c, preloaded into Wine, answers the modem-line
#    requests a pty cannot.
# A fresh Wine prefix lives in a temporary folder and goes when the script
# ends. Runs where the machine's serial ports are hidden
# (hide-serial-ports.sh). No display is needed. Installs nothing: needs cmake, ninja, gcc,
# g++-mingw-w64-x86-64-posix, googletest and wine64.
#   scripts/ci-wine.sh [build-dir [test options...]]   (default build-mingw)
# Test options go to every test program (--gtest_filter=..., --gtest_repeat=N).
# Prints each test program's summary, then one line for all of them; exits
# non-zero when a test failed or a program did not finish.
set -euo pipefail
cd "$(dirname "$0")/.."
# A new Wine prefix links its COM ports to the machine's serial devices.
if [ -z "${KALVARO_SERIAL_GUARD:-}" ]; then exec scripts/hide-serial-ports.sh scripts/ci-wine.sh "$@"; fi
build=${1:-build-mingw}
shift $(($# > 0))
test_options=("$@")
jobs=$(nproc)
programs=(tests/platform/platform_tests.exe tests/serial/serial_tests.exe)
program_limit=600  # seconds one test program may run

tool() {
  local name=$1
  if command -v "$name" >/dev/null; then
    command -v "$name"
  elif [ -x "/usr/lib/wine/$name" ]; then
    echo "/usr/lib/wine/$name"
  else
    echo "ci-wine: $name not found (Debian package wine64)" >&2
    exit 1
  fi
}
wine=$(tool wine64)
wineserver=$(tool wineserver)
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "ci-wine: x86_64-w64-mingw32-g++-posix not found (Debian package g++-mingw-w64-x86-64-posix)" >&2
  exit 1
fi

echo "== cross build ($build)"
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target platform_tests serial_tests >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; exit 1; }
helpers="$build/wine"
mkdir -p "$helpers"
cc -O2 -Wall -Wextra -Werror -o "$helpers/ptycables" tests/wine/ptycables.c -lutil
cc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$helpers/ptymodem_shim.so" tests/wine/ptymodem_shim.c -ldl
shim=$(realpath "$helpers/ptymodem_shim.so")

work=$(mktemp -d "${TMPDIR:-/tmp}/kalvaro-wine.XXXXXX")
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cables_pid=""
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  if [ -n "$cables_pid" ]; then
    kill "$cables_pid" 2>/dev/null || true
    wait "$cables_pid" 2>/dev/null || true
  fi
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Wine prefix"
timeout 300 "$wine" wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }

# One cable per test program. The helper serves them until its standard
# input closes, which happens at the latest when this script ends.
mkdir -p "$work/modem"
mkfifo "$work/hold"
"$helpers/ptycables" "${#programs[@]}" "$work/cables" "$work/modem" <"$work/hold" >"$work/ptycables.log" 2>&1 &
cables_pid=$!
exec {hold}>"$work/hold"
# Wine's own processes (its server stays a while) do not keep the cables up.
wine_run() { "$wine" "$@" {hold}>&-; }
for _ in $(seq 100); do
  [ -s "$work/cables" ] && [ "$(wc -l <"$work/cables")" -eq "${#programs[@]}" ] && break
  kill -0 "$cables_pid" 2>/dev/null || break
  sleep 0.1
done
if [ "$(wc -l <"$work/cables" 2>/dev/null || echo 0)" -ne "${#programs[@]}" ]; then
  echo "ci-wine: the cable helper did not start" >&2
  cat "$work/ptycables.log" >&2
  exit 1
fi

# COM1 and COM2 are the first cable's ends, COM3 and COM4 the second's, ...
ends=()
read -r -a ends <<<"$(tr '\n' ' ' <"$work/cables")"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
  for i in "${!ends[@]}"; do printf '"COM%d"="%s"\r\n' $((i + 1)) "${ends[$i]}"; done
} >"$work/ports.reg"
wine_run reg import 'Z:'"${work//\//\\}"'\ports.reg' >"$work/reg.log" 2>&1 || { cat "$work/reg.log"; exit 1; }
# Wine reads its port table when it starts.
"$wineserver" -k
"$wineserver" -w
wine_run reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$work/serialcomm.log" 2>&1 || true
for i in "${!ends[@]}"; do
  link="$WINEPREFIX/dosdevices/com$((i + 1))"
  for _ in $(seq 100); do
    [ "$(readlink "$link" 2>/dev/null)" = "${ends[$i]}" ] && break
    sleep 0.1
  done
  if [ "$(readlink "$link" 2>/dev/null)" != "${ends[$i]}" ]; then
    echo "ci-wine: COM$((i + 1)) is $(readlink "$link" 2>/dev/null || echo nothing), not the cable end ${ends[$i]}" >&2
    exit 1
  fi
done

passed=0 failed=0 skipped=0 status=0
for i in "${!programs[@]}"; do
  program="$build/${programs[$i]}"
  name=$(basename "$program" .exe)
  cable="COM$((2 * i + 1)):COM$((2 * i + 2))"
  log="$work/$name.log"
  echo "== $name under Wine (cable $cable)"
  result=0
  KALVARO_TEST_CABLES="$cable" KALVARO_PTYMODEM_DIR="$work/modem" LD_PRELOAD="$shim" \
    timeout -k 10 "$program_limit" "$wine" "$program" --gtest_color=no "${test_options[@]}" >"$log" 2>&1 {hold}>&- || result=$?
  tr -d '\r' <"$log" >"$log.txt"
  # The summary: what ran, what passed, was skipped or failed, and by name.
  sed -n '/^\[==========\] .* ran\./,$p' "$log.txt"
  # The slowest tests, to see how close they come to their limits.
  sed -n 's/^\[ *\(OK\|SKIPPED\|FAILED\) *\] \([^ ,]*\).* (\([0-9]*\) ms)$/\3 \2/p' "$log.txt" |
    sort -rn | awk 'NR <= 3 { printf "slowest: %s (%s ms)\n", $2, $1 }'
  count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\{0,1\}[,.].*/\1/p;T;q" "$log.txt"; }
  p=$(count PASSED) s=$(count SKIPPED) f=$(count FAILED)
  if ((result != 0)) || [ -z "$p" ]; then
    status=1
    if ((result == 124)) || [ -z "$p" ]; then
      ((result == 124)) && echo "$name did not finish within ${program_limit}s" || echo "$name ended without its summary (exit $result)"
      grep -E "^\[ RUN      \]" "$log.txt" | tail -1 | sed 's/^\[ RUN      \]/last test started:/'
    fi
    # What failed, with the failure messages.
    grep -E -B2 -A6 "Failure$|^\[  FAILED  \]" "$log.txt" | head -150 || true
  fi
  passed=$((passed + ${p:-0}))
  skipped=$((skipped + ${s:-0}))
  failed=$((failed + ${f:-0}))
  if ((result != 0)) && [ "${f:-0}" -eq 0 ]; then failed=$((failed + 1)); fi
done
echo "wine: $passed passed, $failed failed, $skipped skipped"
exit "$status"
