#!/usr/bin/env bash
# The built program's command line: --version and --help on standard output
# with status 0; bad arguments one line on standard error, status 2, before
# any window shows.
#   CommandLineTest.sh <program>
set -euo pipefail

program=$1
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
mkdir -p "$config/kalvaro"
printf '[Ports]\nScan=0\n' > "$config/kalvaro/c_28_zirk.ini"
export XDG_CONFIG_HOME=$config QT_QPA_PLATFORM=offscreen
failures=0

expect_output() {
  local pattern=$1; shift
  local out status=0
  out=$(timeout 20 "$program" "$@" 2>/dev/null) || status=$?
  if [ "$status" -ne 0 ] || ! grep -q -- "$pattern" <<<"$out"; then
    echo "FAIL: $* gave status $status and: $out"; failures=$((failures + 1))
  fi
}

expect_refusal() {
  local message=$1; shift
  local err status=0
  err=$(timeout 20 "$program" "$@" 2>&1 >/dev/null | grep -v '^QStandardPaths') || status=${PIPESTATUS[0]}
  if [ "$status" -ne 2 ] || [ "$err" != "kalvaro: $message" ]; then
    echo "FAIL: $* gave status $status and: $err"; failures=$((failures + 1))
  fi
}

expect_output '^kalvaro [0-9]' --version
expect_output '--port1 <PORT>' --help
expect_refusal "Unknown option 'nonsense'." --nonsense
expect_refusal '--port1: there is no port COM9' --port1 COM9
expect_refusal '--port2: bad line settings "115200,Q"' --port2 COM1:115200,Q
expect_refusal '--play: Cannot open file /nonexistent.cpo' --play /nonexistent.cpo

[ "$failures" -eq 0 ] && echo "command line: all as expected"
exit "$failures"
