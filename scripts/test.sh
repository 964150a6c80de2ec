#!/bin/bash
# Installs what is missing, builds the native and the Windows trees and runs
# every test. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh

step() { printf '\n=== %s\n' "$*"; }

step "native build and tests"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/host -j "$jobs"
ctest --test-dir build/host --output-on-failure -j "$jobs"

step "native build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DQD_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "manifest and command-line fuzzers (about 60 seconds)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Release -DQD_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target manifest_fuzzer command_line_fuzzer
scripts/fuzz.sh build/fuzz 60

step "Windows build and tests under Wine"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/windows -j "$jobs"
ctest --test-dir build/windows --output-on-failure

echo
echo "All tests passed."
