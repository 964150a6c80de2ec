#!/bin/bash
# Runs the fuzz targets for about SECONDS seconds in all: the manifest fuzzer
# on a fresh copy of the seed manifests for two thirds of the time, the
# command-line fuzzer with its dictionary for the rest (a named fuzzer alone
# gets all of it). With JOBS above 1 each fuzzer runs that many libFuzzer
# jobs side by side (-jobs/-workers), each for the whole of its time. Prints
# the number of executions; exits non-zero on any crash, leak, time-out or
# sanitizer report.
#   scripts/fuzz.sh BUILD_DIR SECONDS [JOBS [FUZZER...]]
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [JOBS [manifest_fuzzer|command_line_fuzzer...]]" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=$2
jobs=${3:-1}
shift $(($# < 3 ? $# : 3))
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(manifest_fuzzer command_line_fuzzer)

work=$(mktemp -d "${TMPDIR:-/tmp}/qd-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
for name in "${fuzzers[@]}"; do
  fuzzer=$build/tests/fuzz/$name
  if [ ! -x "$fuzzer" ]; then
    echo "fuzz.sh: no $fuzzer (build it with -DQD_FUZZ=ON)" >&2
    exit 2
  fi
  time=$seconds
  if [ ${#fuzzers[@]} -gt 1 ]; then
    if [ "$name" = manifest_fuzzer ]; then time=$((seconds * 2 / 3)); else time=$((seconds - seconds * 2 / 3)); fi
  fi
  dir=$work/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  options=(-max_total_time="$time" -rss_limit_mb=2048 -timeout=10 -detect_leaks=1 -print_final_stats=1
           -artifact_prefix="$dir/artifacts/")
  case $name in
    manifest_fuzzer)
      cp "$root"/tests/fuzz/seeds/* "$dir/corpus/"
      options+=(-max_len=32768) ;;
    command_line_fuzzer)
      options+=(-max_len=4096 -dict="$root/tests/fuzz/command_line.dict") ;;
  esac
  if [ "$jobs" -gt 1 ]; then options+=(-jobs="$jobs" -workers="$jobs"); fi

  status=0
  (
    cd "$dir"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$fuzzer" "${options[@]}" corpus
  ) >"$dir/log" 2>&1 || status=$?

  # With several jobs each one writes its own fuzz-N.log, which the main
  # log repeats: count the executions in those alone.
  counted=("$dir/log")
  if compgen -G "$dir/fuzz-*.log" >/dev/null; then counted=("$dir"/fuzz-*.log); fi
  logs=("$dir/log" "${counted[@]}")
  runs=$(cat "${counted[@]}" | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{ s += $1 } END { print s + 0 }')
  if [ "$status" -ne 0 ] || cat "${logs[@]}" | grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: '; then
    for log in "${counted[@]}"; do tail -n 60 "$log" >&2; done
    for artifact in "$dir"/artifacts/*; do
      [ -e "$artifact" ] || continue
      kept=$build/$(basename "$artifact")
      cp "$artifact" "$kept"
      echo "fuzz.sh: failing input kept as $kept" >&2
    done
    echo "fuzz.sh: $name FAILED after $runs executions (exit status $status)" >&2
    failed=1
    continue
  fi
  echo "$name: $runs executions in about $time seconds ($jobs job(s)), no failure"
done
exit "$failed"
