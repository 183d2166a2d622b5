#!/usr/bin/env bash
# Installs the build into a fresh folder and checks what a desktop needs:
# exactly the program, its menu entry, its icon and its AppStream
# description, named after the application id and agreeing with each other
# (program, icon, desktop id, version), and valid for desktop-file-validate
# and appstreamcli.
#   InstallTest.sh <cmake> <build folder> <application id> <version>
# Exits 77 (skipped) after the checks it could make when a validator is
# missing.
set -euo pipefail

cmake=$1
build=$2
id=$3
version=$4

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; rm -f "$prefix.log"; fail "cmake --install"; }
rm -f "$prefix.log"

desktop=share/applications/$id.desktop
icon=share/icons/hicolor/scalable/apps/$id.svg
metainfo=share/metainfo/$id.metainfo.xml
copyright=share/doc/kalvaro/copyright
manual=share/man/man1/kalvaro.1
expected=$(printf '%s\n' bin/kalvaro "$desktop" "$icon" "$metainfo" "$copyright" "$manual" | sort)
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ] || fail "installed files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$installed"))"
[ -x "$prefix/bin/kalvaro" ] || fail "bin/kalvaro is not executable"

key() { sed -n "s/^$1=//p" "$prefix/$desktop"; }
[ "$(key Exec)" = kalvaro ] || fail "the menu entry starts '$(key Exec)', not kalvaro"
[ "$(key Icon)" = "$id" ] || fail "the menu entry's icon is '$(key Icon)', not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/$metainfo" ||
  fail "the AppStream description does not launch $id.desktop"
grep -q "<id>$id</id>" "$prefix/$metainfo" || fail "the AppStream description's id is not $id"
grep -q "<release version=\"$version\" date=\"[0-9]\{4\}-[0-9]\{2\}-[0-9]\{2\}\"" "$prefix/$metainfo" ||
  fail "the AppStream description has no dated release $version"
grep -q "<project_license>MIT</project_license>" "$prefix/$metainfo" || fail "the AppStream licence is not MIT"
grep -q "^License: MIT$" "$prefix/$copyright" || fail "the package's copyright file does not say MIT"
grep -q "Permission is hereby granted" "$prefix/$copyright" || fail "the copyright file lacks the licence text"
grep -q '<svg[^>]* viewBox="0 0 \([0-9]*\) \1"' "$prefix/$icon" || fail "the icon is not square"

missing=()
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/$desktop" || fail "desktop-file-validate $desktop"
else
  missing+=(desktop-file-validate)
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --explain "$prefix/$metainfo" || fail "appstreamcli validate $metainfo"
else
  missing+=(appstreamcli)
fi
if ((${#missing[@]})); then
  echo "skipped: ${missing[*]} not installed (the layout checks passed)"
  exit 77
fi
echo "passed"
