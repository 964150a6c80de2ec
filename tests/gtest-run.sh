#!/bin/bash
# Runs one GoogleTest program, through whatever starts it (Wine, Xvfb), and
# passes only when it ran to its end with no failure. Its exit code alone
# does not do: under Wine a program whose test crashed may still exit with 0,
# losing the cases after it and the failures before it.
#
#   gtest-run.sh <command> [arguments...]
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \]' "$out" &&
    ! grep -qE '^\[  FAILED  \]|Unhandled exception|page fault' "$out"; then
    exit 0
fi
echo "gtest-run: the program did not run to its end without a failure (exit $status)" >&2
exit 1
