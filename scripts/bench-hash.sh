#!/bin/bash
# Hashing throughput on one 1 GiB file: hashFile in the native build against
# "b2sum -l 256" in the same run, then hashFile in the Windows build under
# Wine. Prints MB/s (10^6 bytes a second), the ratio hashFile / b2sum (aim:
# at least 1.0) and the peak resident memory of each hash_bench run.
#   scripts/bench-hash.sh [NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/host}
windows=${2:-$root/build/windows}
runs=3

bench=$native/bench/hash_bench
if [ ! -x "$bench" ]; then
  echo "bench-hash.sh: no $bench (build the target hash_bench)" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/qd-bench.XXXXXX")
file=$work/qd-hash-bench.bin
cleanup() {
  # The wineserver is found through its prefix: stop it before the prefix goes.
  if [ -n "${WINEPREFIX:-}" ]; then "$root/tests/wine-prefix.sh" stop "$WINEPREFIX" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "native hashFile ($bench), best of $runs:"
"$bench" "$file" --keep --runs "$runs" | tee "$work/native.out"
native_rate=$(sed -n 's/^hashFile: \([0-9.]*\) MB\/s.*/\1/p' "$work/native.out")
native_digest=$(sed -n 's/^digest //p' "$work/native.out")

best=0
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  b2_digest=$(b2sum -l 256 "$file" | cut -d' ' -f1)
  end=$(date +%s%N)
  best=$(awk -v b="$best" -v ns=$((end - start)) 'BEGIN { r = 1073741824 / 1e6 / (ns / 1e9); print (r > b ? r : b) }')
done
printf 'b2sum -l 256: %.0f MB/s, best of %d\n' "$best" "$runs"
if [ "$b2_digest" != "$native_digest" ]; then
  echo "bench-hash.sh: digests differ: hashFile $native_digest, b2sum $b2_digest" >&2
  exit 1
fi
awk -v a="$native_rate" -v b="$best" 'BEGIN { printf "ratio hashFile / b2sum: %.2f\n", a / b }'

exe=$windows/bench/hash_bench.exe
if [ -f "$exe" ]; then
  export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  "$root/tests/wine-prefix.sh" start "$WINEPREFIX" >/dev/null 2>&1 </dev/null
  echo "Windows hashFile under Wine ($exe), best of $runs:"
  timeout 900 /usr/lib/wine/wine64 "$exe" "Z:$file" --reuse --keep --runs "$runs" >"$work/wine.out" 2>&1 </dev/null
  tr -d '\r' <"$work/wine.out"
  wine_digest=$(tr -d '\r' <"$work/wine.out" | sed -n 's/^digest //p')
  if [ "$wine_digest" != "$native_digest" ]; then
    echo "bench-hash.sh: the Windows digest differs: $wine_digest" >&2
    exit 1
  fi
else
  echo "(no $exe: Windows figure skipped)"
fi
