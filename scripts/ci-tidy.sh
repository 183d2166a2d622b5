#!/usr/bin/env bash
# Checks the code without running it:
#  1. clang-format: every tracked C and C++ file is formatted as .clang-format
#     says (nothing is changed; a file that is not shows what would change);
#  2. clang-tidy with the checks in .clang-tidy on the product code: the
#     sources of platform/, serial/, text/, ui/, widgets/, monitor/, editor/,
#     about/ and app/ (tests, benchmarks and fuzz targets are not checked):
#     - as the Linux program builds them, from the compile database of the
#       tidy preset (build-tidy: configured only, without the precompiled
#       headers, which clang cannot read from GCC);
#     - the files only the Windows build compiles, from the tidy-mingw
#       preset's database (build-tidy-mingw), with clang aimed at MinGW-w64
#       and its C++ library; skipped with a note when the cross compiler is
#       missing.
# Fails on any finding and prints each. Installs nothing: needs clang-format
# and clang-tidy (Debian packages of those names).
#   scripts/ci-tidy.sh [file...]   (files given: both checks on those only)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
product_sources=('platform/*.c' 'platform/*.cpp' 'serial/*.cpp' 'text/*.cpp' 'ui/*.cpp' 'widgets/*.cpp'
  'monitor/*.cpp' 'editor/*.cpp' 'about/*.cpp' 'app/*.cpp')
selected=("$@")
status=0

for tool in clang-format clang-tidy; do
  if ! command -v "$tool" >/dev/null; then
    echo "ci-tidy: $tool not found (Debian package $tool)" >&2
    exit 1
  fi
done

echo "== clang-format"
format_log=$(mktemp)
logs=$(mktemp -d)
trap 'rm -rf "$format_log" "$logs"' EXIT
if ((${#selected[@]})); then
  formatted=("${selected[@]}")
else
  mapfile -t formatted < <(git ls-files -- '*.c' '*.cpp' '*.h')
fi
if printf '%s\0' "${formatted[@]}" | xargs -0 clang-format --dry-run --Werror >"$format_log" 2>&1; then
  echo "clang-format: ${#formatted[@]} files formatted"
else
  status=1
  head -200 "$format_log"
  echo "clang-format: not formatted: $(grep -o '^[^:]*:[0-9]*:[0-9]*: error' "$format_log" | cut -d: -f1 | sort -u | tr '\n' ' ')"
  echo "(clang-format -i <file> formats a file)"
fi

# The tracked product sources (those selected, if any) that a build folder's
# compile database lists.
sources_in() {
  local database=$1/compile_commands.json
  git ls-files -- "${product_sources[@]}" | while read -r file; do
    if ((${#selected[@]})) && [[ " ${selected[*]} " != *" $file "* ]]; then continue; fi
    if grep -qF "\"file\": \"$root/$file\"" "$database"; then echo "$file"; fi
  done
}

# tidy <build-dir> <file>... : clang-tidy on each file, nproc at a time, each
# file's report in a log of its own; prints the reports of the files with
# findings and fails when there is one.
tidy() {
  local dir=$1
  shift
  if (($# == 0)); then
    echo "clang-tidy ($dir): no files"
    return 0
  fi
  local started=$SECONDS
  local failed=0
  # shellcheck disable=SC2016 # expanded by the inner shell
  printf '%s\0' "$@" | xargs -0 -P "$jobs" -I '{}' bash -c '
    log="$1/$(echo "$3" | tr / _).log"
    clang-tidy -p "$2" --quiet "${@:4}" "$3" >"$log" 2>&1 && rm -f "$log"
    exit 0' _ "$logs" "$dir" '{}' "${extra[@]}"
  local file log
  for file in "$@"; do
    log="$logs/$(echo "$file" | tr / _).log"
    [ -e "$log" ] || continue
    failed=$((failed + 1))
    grep -vE '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter=' "$log" || true
  done
  echo "clang-tidy ($dir): $# files, $failed with findings, $((SECONDS - started)) s"
  ((failed == 0))
}

echo "== clang-tidy: Linux"
cmake --preset tidy >/dev/null
mapfile -t linux_files < <(sources_in build-tidy)
extra=()
tidy build-tidy "${linux_files[@]}" || status=1

echo "== clang-tidy: Windows"
cross=x86_64-w64-mingw32-g++-posix
if command -v "$cross" >/dev/null; then
  cmake --preset tidy-mingw >/dev/null
  windows_files=()
  for file in $(sources_in build-tidy-mingw); do
    [[ " ${linux_files[*]} " == *" $file "* ]] || windows_files+=("$file")
  done
  # clang finds MinGW-w64's C headers by itself, but not the C++ library of
  # Debian's cross compiler: ask the compiler where it is.
  extra=(--extra-arg=--target=x86_64-w64-mingw32)
  for folder in $(echo | "$cross" -x c++ -E -v - 2>&1 | sed -n '/search starts here/,/End of search/p' |
    grep '/include/c++'); do
    extra+=("--extra-arg=-isystem$folder")
  done
  tidy build-tidy-mingw "${windows_files[@]}" || status=1
else
  echo "clang-tidy: the Windows files are not checked: $cross not found (Debian package g++-mingw-w64-x86-64-posix)"
fi
exit "$status"
