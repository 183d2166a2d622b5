#!/usr/bin/env bash
# Makes the Debian package from a built build folder and tries it as a user
# would get it: installs it with apt-get, starts the installed
# /usr/bin/kalvaro on a virtual X display with a settings folder of its own
# (the built-in virtual pair only, never a device of this machine), waits for
# the main window " Kalvaro", closes it from its menu (Alt+X is "Exit"; with
# SIGTERM when xdotool is missing), checks that the program ended, and removes
# the package again. A kalvaro package installed before is replaced, then
# removed.
#   scripts/ci-package.sh <build folder>
# Needs root or sudo, and what scripts/setup.sh installs (cpack, dpkg-dev,
# xvfb-run, xwininfo, xdotool). Prints one summary line; exits non-zero when
# any step fails, after showing that step's output. Runs where the machine's
# serial ports are hidden (hide-serial-ports.sh).
set -euo pipefail
if [ -z "${KALVARO_SERIAL_GUARD:-}" ]; then exec "$(dirname "$0")/hide-serial-ports.sh" "$0" "$@"; fi

if [ "${1:-}" = --run-installed ]; then
  # The part that runs on the virtual display: <work folder>.
  work=$2
  mkdir -p "$work/config/kalvaro" "$work/cache"
  printf '[Ports]\nScan=0\n' >"$work/config/kalvaro/c_28_zirk.ini"
  XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" QT_QPA_PLATFORM=xcb \
    /usr/bin/kalvaro >"$work/kalvaro.log" 2>&1 &
  pid=$!
  trap 'kill -KILL "$pid" 2>/dev/null || true' EXIT

  # Waits up to $1 tenths of a second for the command that follows.
  wait_for() {
    local tenths=$1; shift
    for ((i = 0; i < tenths; i++)); do
      "$@" && return 0
      sleep 0.1
    done
    return 1
  }
  alive() { kill -0 "$pid" 2>/dev/null; }
  shown() {
    alive || { echo "the program ended before its window appeared"; cat "$work/kalvaro.log"; exit 1; }
    xwininfo -name " Kalvaro" 2>/dev/null | grep -q "Map State: IsViewable"
  }
  wait_for 300 shown || { echo "no window \" Kalvaro\" within 30 s"; exit 1; }
  window=$(xwininfo -name " Kalvaro" | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
  # The desktop shows the menu entry's name and icon for windows of its class.
  class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
  wanted=$(sed -n 's/^StartupWMClass=//p' /usr/share/applications/io.github.kalvaro.Kalvaro.desktop)
  [ "$class" = "$wanted" ] || { echo "the window's class is '$class', the menu entry's '$wanted'"; exit 1; }

  if command -v xdotool >/dev/null; then
    timeout 20 xdotool windowfocus --sync "$window" key --clearmodifiers alt+x ||
      { echo "xdotool could not give the window the focus and press Alt+X"; exit 1; }
    how="closed from its menu"
  else
    kill -TERM "$pid"
    how="ended with SIGTERM"
  fi
  ended() { ! alive; }
  wait_for 200 ended || { echo "the program was still running 20 s after it was asked to end"; exit 1; }
  status=0
  wait "$pid" || status=$?
  trap - EXIT
  # SIGTERM ends a Qt program with the signal's status (128 + 15).
  [ "$status" = 0 ] || { [ "$how" = "ended with SIGTERM" ] && [ "$status" = 143 ]; } ||
    { echo "the program exited with status $status"; cat "$work/kalvaro.log"; exit 1; }
  echo "$how, exit status $status" >"$work/outcome"
  exit 0
fi

[ $# = 1 ] || { echo "usage: $0 <build folder>" >&2; exit 2; }
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
script=$PWD/scripts/ci-package.sh
started=$SECONDS
work=$(mktemp -d)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
installed=""

cleanup() {
  if [ -n "$installed" ]; then
    $sudo apt-get remove -y -qq kalvaro >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Runs a step with its output in a log; on failure shows the log and stops.
step() {
  local name=$1; shift
  if ! "$@" >"$work/step.log" 2>&1; then
    cat "$work/step.log"
    echo "ci-package: FAILED: $name"
    exit 1
  fi
}
fail() { echo "ci-package: FAILED: $*"; exit 1; }

[ -f "$build/CPackConfig.cmake" ] || fail "$build has no CPackConfig.cmake (configure it with KALVARO_GUI on)"
run_cpack() { (cd "$build" && cpack -G DEB); }
step "cpack" run_cpack
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$work/step.log")
[ -f "$deb" ] || { cat "$work/step.log"; fail "cpack named no package"; }

# An absolute path tells apt-get that this is a file, not a package name; it
# reads it as the _apt user, or (with a notice) as root, so it may stay here.
install_package() {
  $sudo apt-get install -y -qq --reinstall "$deb" ||
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq --reinstall "$deb"; }
}
installed=yes
step "apt-get install $deb" install_package
for file in /usr/bin/kalvaro /usr/share/applications/io.github.kalvaro.Kalvaro.desktop \
  /usr/share/icons/hicolor/scalable/apps/io.github.kalvaro.Kalvaro.svg \
  /usr/share/metainfo/io.github.kalvaro.Kalvaro.metainfo.xml /usr/share/doc/kalvaro/copyright; do
  dpkg -L kalvaro | grep -qx "$file" && [ -f "$file" ] || fail "the package did not install $file"
done

step "the installed program on a virtual X display" \
  xvfb-run -a -s "-screen 0 1024x768x24" bash "$script" --run-installed "$work"
outcome=$(cat "$work/outcome")

step "apt-get remove kalvaro" $sudo apt-get remove -y -qq kalvaro
installed=""
[ ! -e /usr/bin/kalvaro ] || fail "/usr/bin/kalvaro is still there after the removal"

echo "ci-package: passed: $(basename "$deb") ($(($(stat -c %s "$deb") / 1024)) KiB) built, installed," \
  "its window shown, $outcome, removed, in $((SECONDS - started)) s"
