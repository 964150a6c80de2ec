#!/bin/bash
# Install throughput and peak memory: Installer::check + Installer::apply under
# Wine fetch a release of 4 MiB files from the loopback test server inside
# install_bench.exe, then Linux curl fetches the same files from the same
# server in the same run. Once with 1 GiB (256 files), once with 4 GiB (1024
# files). Prints MB/s (10^6 bytes a second) for both, their ratio (aim: at
# least 0.9) and the bench process's peak working set (aim: the same for
# both sizes). Every generated file is deleted afterwards.
#
# Wine and its wineserver run pinned to one processor (QD_BENCH_CPU, default
# 1; empty: not pinned): every socket call under Wine is a round trip to the
# wineserver, and in a virtual machine a round trip between two processors
# costs several times one on the same processor. curl runs unpinned.
#   scripts/bench-install.sh [WINDOWS_BUILD_DIR [SIZES_IN_GIB...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/windows}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 4)

exe=$build/tests/install_bench.exe
if [ ! -f "$exe" ]; then
  echo "bench-install.sh: no $exe (build the target install_bench)" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/qd-install-bench.XXXXXX")
bench_pid=
cleanup() {
  if [ -n "$bench_pid" ]; then kill "$bench_pid" 2>/dev/null || true; fi
  "$root/tests/wine-prefix.sh" stop "$WINEPREFIX" >/dev/null 2>&1 || true
  rm -rf "$work"
}
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
trap cleanup EXIT
cpu=${QD_BENCH_CPU-1}
pin=()
if [ -n "$cpu" ]; then pin=(taskset -c "$cpu"); fi
"${pin[@]}" "$root/tests/wine-prefix.sh" start "$WINEPREFIX" >/dev/null 2>&1 </dev/null
echo "Wine pinned to processor: ${cpu:-none}"

for gib in "${sizes[@]}"; do
  run=$work/run
  rm -rf "$run"
  mkdir -p "$run/src" "$run/curl"
  count=$((gib * 256))
  echo "== $gib GiB: $count files of 4 MiB"
  for i in $(seq -w 1 "$count"); do
    head -c 4194304 /dev/urandom >"$run/src/part-$i.bin"
  done
  bytes=$((count * 4194304))

  timeout 3600 "${pin[@]}" /usr/lib/wine/wine64 "$exe" "Z:$run" "$run" >"$run/bench.out" 2>&1 </dev/null &
  bench_pid=$!
  while [ ! -s "$run/ready" ]; do
    if ! kill -0 "$bench_pid" 2>/dev/null; then
      tr -d '\r' <"$run/bench.out" >&2
      echo "bench-install.sh: install_bench ended early" >&2
      exit 1
    fi
    sleep 0.2
  done
  tr -d '\r' <"$run/bench.out"
  installer_rate=$(tr -d '\r' <"$run/bench.out" | sed -n 's/^installer: .*: \([0-9.]*\) MB\/s.*/\1/p')

  start=$(date +%s%N)
  curl --silent --show-error --fail -K "$run/curl.cfg"
  end=$(date +%s%N)
  touch "$run/done"
  wait "$bench_pid" || true
  bench_pid=
  curl_rate=$(awk -v b="$bytes" -v ns=$((end - start)) 'BEGIN { printf "%.1f", b / 1e6 / (ns / 1e9) }')
  got=$(du -sb "$run/curl" | cut -f1)
  echo "curl: $count files, $got bytes in $(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }') s: $curl_rate MB/s"
  awk -v a="$installer_rate" -v b="$curl_rate" 'BEGIN { printf "ratio installer / curl: %.2f\n", a / b }'
  rm -rf "$run"
done
