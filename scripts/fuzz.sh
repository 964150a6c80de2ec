#!/bin/bash
# Runs the manifest fuzzer for about SECONDS seconds on a fresh copy of the
# seed manifests. Prints the number of executions; exits non-zero on any
# crash, leak, time-out or sanitizer report.
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=$2
fuzzer=$build/tests/fuzz/manifest_fuzzer
if [ ! -x "$fuzzer" ]; then
  echo "fuzz.sh: no $fuzzer (build the target manifest_fuzzer with -DQD_FUZZ=ON)" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qd-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$root"/tests/fuzz/seeds/* "$work/corpus/"

status=0
(
  cd "$work"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -detect_leaks=1 \
    -max_len=32768 -print_final_stats=1 -artifact_prefix="$work/artifacts/" corpus
) >"$work/log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$work/log"; then
  tail -n 60 "$work/log" >&2
  for artifact in "$work"/artifacts/*; do
    [ -e "$artifact" ] || continue
    kept=$build/$(basename "$artifact")
    cp "$artifact" "$kept"
    echo "fuzz.sh: failing input kept as $kept" >&2
  done
  echo "fuzz.sh: FAILED after ${runs:-?} executions (exit status $status)" >&2
  exit 1
fi
echo "manifest_fuzzer: ${runs:-0} executions in about $seconds seconds, no failure"
