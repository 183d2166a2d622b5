#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz (the fuzz preset of
# CMakePresets.json) and runs each one for a while on a working copy of its
# seed corpus (the repository is not changed). Fails when a target finds a
# crash or a broken property; the crash input is kept in
# build-fuzz/crashes/<target>/. Installs nothing: clang and its fuzzer
# runtime must be there already.
#   scripts/ci-fuzz.sh [seconds-per-target]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build="build-fuzz" # the fuzz preset's folder
targets=(script_reader input_value settings_file port_map telnet_codec)

if ! command -v clang++ >/dev/null; then
  echo "ci-fuzz: clang++ not found (Debian package clang)" >&2
  exit 1
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then
  echo "ci-fuzz: clang++ cannot link libFuzzer (Debian package libclang-rt-14-dev)" >&2
  exit 1
fi

echo "== fuzz build ($build)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
  corpus="$work/$target"
  crashes="$build/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log="$work/$target.log"
  status=0
  # One process, no forking: a crash stops the run and leaves its input in
  # the crash folder.
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -dict="fuzz/$target.dict" -artifact_prefix="$crashes/" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 "$corpus" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  edges=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' "$log" | tail -1)
  features=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' "$log" | tail -1)
  units=$(find "$corpus" -type f | wc -l)
  if ((status != 0)); then
    failed=1
    echo "fuzz_$target: FAILED (exit $status) after ${execs:-?} execs; crash input in $crashes"
    grep -E "ERROR|property broken|SUMMARY|runtime error" "$log" | head -20 || tail -40 "$log"
  else
    echo "fuzz_$target: ok, ${execs:-?} execs in ${seconds}s, ${edges:-?} edges covered, ${features:-?} features, corpus $units"
  fi
done
exit "$failed"
