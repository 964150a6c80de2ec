#!/bin/bash
# Every benchmark of the setup program in one run, then one table of figures
# and ratios measured in that run:
#   - hashFile against "b2sum -l 256" on 1 GiB (scripts/bench-hash.sh), and
#     hashFile in the Windows build under Wine;
#   - the up-to-date check of 20,000 files trusting the installed record, and
#     the same with "--repair", with the game files' opens counted from
#     outside (inotify) while each check runs;
#   - installs of 1 GiB and 4 GiB over loopback against curl fetching the same
#     files, with the install's peak working set (scripts/bench-install.sh).
# Builds what it needs first. Every file it makes is deleted afterwards.
#   scripts/bench.sh [NATIVE_BUILD_DIR [WINDOWS_BUILD_DIR]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/host}
windows=${2:-$root/build/windows}
jobs=$(nproc)

cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" -j "$jobs" --target hash_bench >/dev/null
cmake -S "$root" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$windows" -j "$jobs" --target hash_bench install_bench check_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/qd-bench-all.XXXXXX")
bench_pid=
cleanup() {
  if [ -n "$bench_pid" ]; then kill "$bench_pid" 2>/dev/null || true; fi
  "$root/tests/wine-prefix.sh" stop "$work/wineprefix" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== hashing 1 GiB"
"$root/scripts/bench-hash.sh" "$native" "$windows" | tee "$work/hash.out"

echo "== up-to-date check of 20,000 files"
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
"$root/tests/wine-prefix.sh" start "$WINEPREFIX" >/dev/null 2>&1 </dev/null
mkdir -p "$work/check"
timeout 1200 /usr/lib/wine/wine64 "$windows/tests/check_bench.exe" "Z:$work/check" >"$work/check.out" 2>&1 </dev/null &
bench_pid=$!
# Counts the opens of files in the install folder between the markers that
# check_bench writes. An open queues its event before the open returns, so
# once a marker shows, every open of the check before it is in the queue.
python3 - "$work/check" >"$work/opens.out" <<'EOF'
import ctypes, os, select, struct, sys, time
work = sys.argv[1]
IN_OPEN, IN_ISDIR = 0x20, 0x40000000
libc = ctypes.CDLL("libc.so.6", use_errno=True)
def wait(marker):
    deadline = time.time() + 600
    while not os.path.exists(os.path.join(work, marker)):
        if time.time() > deadline:
            sys.exit("no " + marker)
        time.sleep(0.05)
wait("ready")
fd = libc.inotify_init1(os.O_NONBLOCK)
for folder, _, _ in os.walk(os.path.join(work, "install")):
    if libc.inotify_add_watch(fd, folder.encode(), IN_OPEN) < 0:
        sys.exit("cannot watch " + folder)
open(os.path.join(work, "watching"), "w").close()
def count_until(marker):
    opens, names = 0, set()
    while True:
        done = os.path.exists(os.path.join(work, marker))
        while select.select([fd], [], [], 0 if done else 0.05)[0]:
            data = os.read(fd, 65536)
            at = 0
            while at < len(data):
                wd, mask, cookie, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].rstrip(b"\0")
                at += 16 + length
                if mask & IN_OPEN and not mask & IN_ISDIR and name and name != b"install.manifest":
                    opens += 1
                    names.add((wd, name))
        if done:
            return opens, len(names)
print("trusted: %d opens of %d game files" % count_until("trusted-done"))
open(os.path.join(work, "counted"), "w").close()
print("repair: %d opens of %d game files" % count_until("repair-done"))
EOF
wait "$bench_pid"
bench_pid=
tr -d '\r' <"$work/check.out"
cat "$work/opens.out"
"$root/tests/wine-prefix.sh" stop "$WINEPREFIX" >/dev/null 2>&1 </dev/null || true
rm -rf "$work/check" "$WINEPREFIX"

echo "== installs of 1 GiB and 4 GiB"
"$root/scripts/bench-install.sh" "$windows" 1 4 | tee "$work/install.out"

# The table.
field() { sed -n "$2" "$work/$1" | head -n 1; }
hash_rate=$(field hash.out 's/^hashFile: \([0-9.]*\) MB\/s.*/\1/p')
b2_rate=$(field hash.out 's/^b2sum -l 256: \([0-9.]*\) MB\/s.*/\1/p')
wine_hash=$(sed -n 's/^hashFile: \([0-9.]*\) MB\/s.*/\1/p' "$work/hash.out" | sed -n 2p)
trusted_time=$(tr -d '\r' <"$work/check.out" | sed -n 's/^check trusting the record: .* in \([0-9.]*\) s.*/\1/p')
repair_time=$(tr -d '\r' <"$work/check.out" | sed -n 's/^check with --repair: .* in \([0-9.]*\) s.*/\1/p')
trusted_opens=$(field opens.out 's/^trusted: \([0-9]*\) opens of \([0-9]*\).*/\2/p')
repair_opens=$(field opens.out 's/^repair: \([0-9]*\) opens of \([0-9]*\).*/\2/p')
install_line() { awk -v size="== $1 GiB" '$0 ~ "^== " { on = index($0, size) == 1 } on' "$work/install.out"; }
rate_of() { install_line "$1" | sed -n "s/^$2: .*: \([0-9.]*\) MB\/s.*/\1/p"; }
peak_of() { install_line "$1" | sed -n 's/.*peak working set \([0-9.]*\) MiB.*/\1/p'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

echo
echo "| measure | the setup program | reference | ratio |"
echo "|---|---|---|---|"
echo "| hashing 1 GiB, native build | hashFile $hash_rate MB/s | b2sum -l 256 $b2_rate MB/s | $(ratio "$hash_rate" "$b2_rate") |"
echo "| hashing 1 GiB, Windows build under Wine | hashFile ${wine_hash:--} MB/s | b2sum -l 256 $b2_rate MB/s | $(ratio "${wine_hash:-0}" "$b2_rate") |"
echo "| up-to-date check, 20,000 files, trusted record | $trusted_time s, $trusted_opens game files opened | \"--repair\": $repair_time s, $repair_opens game files opened | $(ratio "$trusted_time" "$repair_time") |"
for gib in 1 4; do
  echo "| install of $gib GiB over loopback | $(rate_of "$gib" installer) MB/s | curl $(rate_of "$gib" curl) MB/s | $(ratio "$(rate_of "$gib" installer)" "$(rate_of "$gib" curl)") |"
done
echo "| peak working set, install of 1 GiB / 4 GiB | $(peak_of 1) MiB / $(peak_of 4) MiB | | $(ratio "$(peak_of 4)" "$(peak_of 1)") |"
