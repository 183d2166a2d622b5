#!/usr/bin/env bash
# Starts the built program as a user would, on a virtual X display, with a
# settings folder of its own (the built-in demo pair on, no device of the
# machine), checks that the main window " Kalvaro" appears at its size,
# takes a screenshot of it, ends the program and checks that it is gone.
#   SmokeTest.sh <program> <artifact folder> [<copy of the screenshot>]
# Exits 77 (skipped) when the X tools are missing.
set -euo pipefail

program=$1
artifacts=$2
copy=${3:-}

for tool in xvfb-run xwininfo import identify; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
if [ -z "${KALVARO_SMOKE_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" env KALVARO_SMOKE_DISPLAY=1 bash "$0" "$@"
fi

config=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$config"
}
trap cleanup EXIT
mkdir -p "$config/kalvaro" "$artifacts"
printf '[Ports]\nScan=0\n' > "$config/kalvaro/c_28_zirk.ini"

XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM=xcb "$program" &
pid=$!

# Waits up to $1 tenths of a second for the command that follows.
wait_for() {
  local tenths=$1; shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || { echo "FAIL: the program ended early"; exit 1; }
    sleep 0.1
  done
  return 1
}
viewable() { xwininfo -name " Kalvaro" 2>/dev/null | grep -q "Map State: IsViewable"; }
wait_for 300 viewable || { echo "FAIL: no window \" Kalvaro\""; exit 1; }

info=$(xwininfo -name " Kalvaro")
field() { echo "$info" | sed -n "s/^ *$1: *//p"; }
width=$(field Width)
height=$(field Height)
left=$(field "Absolute upper-left X")
top=$(field "Absolute upper-left Y")
echo "window: ${width}x${height} at ${left},${top}"
[ "$width" = 708 ] && [ "$height" = 560 ] || { echo "FAIL: the window is ${width}x${height}, not 708x560"; exit 1; }

# An unpainted window is black; wait until the window's face is drawn.
shot="$artifacts/main-window.png"
painted() {
  import -window root -crop "${width}x${height}+${left}+${top}" +repage "$shot" 2>/dev/null &&
    [ "$(identify -format '%[fx:mean>0.5]' "$shot")" = 1 ]
}
wait_for 100 painted || { echo "FAIL: the window was never drawn"; exit 1; }
import -window root "$artifacts/screen.png"
echo "screenshots: $shot, $artifacts/screen.png"
[ -z "$copy" ] || cp "$shot" "$copy"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
# SIGTERM ends a Qt program with the signal's status (128 + 15).
[ "$status" = 0 ] || [ "$status" = 143 ] || { echo "FAIL: the program exited with $status"; exit 1; }
kill -0 "$pid" 2>/dev/null && { echo "FAIL: the program is still running"; exit 1; }
pid=""
echo "passed"
