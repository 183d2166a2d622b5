#!/usr/bin/env bash
# Runs a command where this machine's own serial ports cannot be reached: in
# a private mount namespace in which every serial device node (ttyS*,
# ttyUSB*, ttyACM*, and any other tty with hardware behind it) is /dev/null,
# and /sys/class/tty, /sys/bus/usb-serial and /dev/serial are empty. Ptys
# (/dev/ptmx, /dev/pts) stay as they are. The command runs as the user who
# started this script and finds KALVARO_SERIAL_GUARD=1 in its environment.
#   scripts/hide-serial-ports.sh <command> [arguments...]
# Root makes the namespace itself; another user through sudo, or else
# through a user namespace of its own (then its supplementary groups show as
# "nogroup" inside, and sudo does not work there). Where no namespace can be
# made, the command runs unguarded with KALVARO_SERIAL_GUARD=unavailable,
# after a note saying so.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 <command> [arguments...]" >&2; exit 2; }
self=$(realpath "$0")

if [ "$1" = --inside ]; then
  # In the new namespace, as root of it: hide, then give the command back to
  # its user, by setpriv (real root) or by a user namespace within this one.
  uid=$2 gid=$3 back=$4
  shift 5  # --inside <uid> <gid> <setpriv|userns> --
  # The nodes first: whether a tty has hardware behind it shows in sysfs,
  # which is hidden next.
  declare -A nodes=()
  for node in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    if [ -c "$node" ]; then nodes[$node]=1; fi
  done
  for entry in /sys/class/tty/*; do
    node=/dev/${entry##*/}
    if [ -e "$entry/device" ] && [ -c "$node" ]; then nodes[$node]=1; fi
  done
  for node in "${!nodes[@]}"; do
    mount --bind /dev/null "$node"
  done
  for folder in /sys/class/tty /sys/bus/usb-serial /dev/serial; do
    if [ -d "$folder" ]; then
      mount -t tmpfs -o mode=0755,size=16k,nosuid,nodev,noexec kalvaro-no-serial "$folder"
    fi
  done
  export KALVARO_SERIAL_GUARD=1
  if [ "$uid" = 0 ]; then exec "$@"; fi
  if [ "$back" = userns ]; then exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"; fi
  exec setpriv --reuid="$uid" --regid="$gid" --init-groups -- "$@"
fi

# note <why> <command...>: runs the command unguarded, saying so.
note() {
  echo "NOTE: the machine's serial ports are not hidden from the tests ($1);" \
    "the tests still open only ptys and virtual ports, through settings of their own" >&2
  shift
  export KALVARO_SERIAL_GUARD=unavailable
  exec "$@"
}

namespace=(unshare --mount --propagation private)
inside=("$self" --inside "$(id -u)" "$(id -g)")
if [ "$(id -u)" -eq 0 ]; then
  "${namespace[@]}" true 2>/dev/null || note "no private mount namespace could be made here" "$@"
  exec "${namespace[@]}" -- "${inside[@]}" setpriv -- "$@"
fi
# sudo keeps the user's environment, with PATH and HOME given again (it
# resets them).
as_root=(sudo --preserve-env env "PATH=$PATH" "HOME=$HOME")
if command -v sudo >/dev/null && "${as_root[@]}" "${namespace[@]}" true 2>/dev/null; then
  exec "${as_root[@]}" "${namespace[@]}" -- "${inside[@]}" setpriv -- "$@"
fi
if unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
  exec unshare --user --map-root-user --mount --propagation private -- "${inside[@]}" userns -- "$@"
fi
note "neither root, sudo nor a user namespace can make a private mount namespace here" "$@"
