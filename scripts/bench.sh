#!/bin/bash
# What a player gets: the real QuillmarrowDunmirSetup.exe --quiet under Wine,
# timed from outside, against a release server that is a native Linux
# process (bench/file_server, 127.0.0.1 only), beside references measured in
# the same run on the same files:
#   - a bare WinHTTP read loop under Wine (bench/winhttp_loop.exe): every
#     file fetched once through one synchronous stream and thrown away;
#   - curl from the same server, natively, writing the files;
#   - "b2sum -l 256" over the installed files, for "--repair";
#   - for the up-to-date check, the loop fetching the manifest alone (Wine's
#     start and one request) and find reading every file's size natively.
# Rows: installs of 1 GiB in 256 files, 2,000 files of 64 KiB, 20,000 and
# 80,000 files of 4 KiB into a fresh folder; "--repair" of the 20,000 files;
# the up-to-date check of 20,000 and 80,000 files; the program's peak memory,
# and the 80,000-file install's peak beside the check of the same release.
# The headline figures run Wine unpinned, as a player runs it; the pinned ones
# run Wine (its server and the program) on one processor (QD_BENCH_CPU,
# default 1), all but the 80,000-file install, which runs unpinned only. Each
# figure is the median of QD_BENCH_RUNS runs (default 3).
# QD_BENCH_QUICK=1 runs a tenth of the files (a quarter of the bytes for the
# 1 GiB row) once each, to try the script.
#
#   scripts/bench.sh [WINDOWS_BUILD_DIR]   (default build/windows)
# The native programs come from QD_BENCH_NATIVE (default build/host). The
# script builds the targets it needs in both, needs about 5 GiB of free disk
# and deletes every file it makes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/windows}")
native=$(realpath -m "${QD_BENCH_NATIVE:-$root/build/host}")
quick=${QD_BENCH_QUICK:-0}
cpu=${QD_BENCH_CPU:-1}
jobs=${QD_BENCH_JOBS:-4}
if [ "$quick" = 1 ]; then
  runs=${QD_BENCH_RUNS:-1}
  big=64 medium=200 small=2000 huge=8000
else
  runs=${QD_BENCH_RUNS:-3}
  big=256 medium=2000 small=20000 huge=80000
fi

if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$native" -j "$jobs" --target file_server make_release >/dev/null
cmake --build "$build" -j "$jobs" --target QuillmarrowDunmirSetup winhttp_loop >/dev/null
setup=$build/app/QuillmarrowDunmirSetup.exe
loop=$build/bench/winhttp_loop.exe
server=$native/bench/file_server
# The signing tool: a native build of it (it writes a release of 80,000 files
# in seconds; under Wine, hours), else a Windows one under Wine.
make_release=
for candidate in "$native/tools/make_release" "$build/tools/make_release.exe"; do
  if [ -f "$candidate" ]; then make_release=$candidate; break; fi
done
for program in "$setup" "$loop" "$server" "$make_release"; do
  if [ ! -f "$program" ]; then
    echo "bench.sh: no ${program:-make_release} in $build" >&2
    exit 2
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qd-bench.XXXXXX")
server_pid=
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  "$root/tests/wine-prefix.sh" stop "$WINEPREFIX" >/dev/null 2>&1 </dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/www" "$work/results"
echo latest.manifest >"$work/manifest-list"

say() { printf '%s %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# Game folders of random files, a hundred to a folder, each signed into
# its own release under www/.
make_set() { # name count size
  say "making $2 files of $3 bytes ($1)"
  python3 - "$work/game-$1" "$2" "$3" <<'EOF'
import os, sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    sub = os.path.join(folder, "d%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(sub)
    with open(os.path.join(sub, "f%06d.dat" % i), "wb") as out:
        out.write(os.urandom(size))
EOF
  local game=$work/game-$1 release=$work/www/$1 key=$root/tests/data/test-release-key.txt
  if [[ $make_release == *.exe ]]; then
    game=Z:$game release=Z:$release key=Z:$key
    timeout 3600 "$wine" "$make_release" "$game" "$release" 1.0 d0000/f000000.dat "$key" >"$work/make_release.out" 2>&1 </dev/null
  else
    timeout 3600 "$make_release" "$game" "$release" 1.0 d0000/f000000.dat "$key" >"$work/make_release.out" 2>&1 </dev/null
  fi
  (cd "$work/www/$1" && find files -type f) >"$work/list-$1"
  {
    while read -r name; do
      printf 'url = "%s%s"\noutput = "%s/curl/%s"\n' "$url/$1/" "$name" "$work" "${name#files/}"
    done <"$work/list-$1"
  } >"$work/curl-$1.cfg"
}

# An install folder as an install leaves it: the game files and the record.
make_installed() { # name
  mkdir -p "$work/installed-$1"
  cp -r "$work/game-$1/." "$work/installed-$1/"
  cp "$work/www/$1/latest.manifest" "$work/installed-$1/install.manifest"
}

# Runs a command, adds its wall time (s) to results/<key> and its peak
# resident memory (KiB) to results/<key>.mem; fails with its output when it
# does.
measure() { # key command...
  local key=$1
  shift
  if ! /usr/bin/time -f '%e %M' -o "$work/time.out" timeout 3600 "$@" >"$work/run.out" 2>&1 </dev/null; then
    tr -d '\r' <"$work/run.out" >&2
    echo "bench.sh: failed: $*" >&2
    exit 1
  fi
  read -r seconds kib <"$work/time.out"
  echo "$seconds" >>"$work/results/$key"
  echo "$kib" >>"$work/results/$key.mem"
}

# The setup program's log must show the check found what the row expects.
expect_needed() { # count
  if ! tr -d '\r' <"$work/setup.log" | grep -q "^.*needed: $1 files"; then
    tr -d '\r' <"$work/setup.log" >&2
    echo "bench.sh: the setup program did not find $1 files needed" >&2
    exit 1
  fi
}

run_setup() { # key set dir count-needed extra-options...
  local key=$1 set=$2 dir=$3 needed=$4
  shift 4
  rm -f "$work/setup.log"
  measure "$key" "${pin[@]}" "$wine" "$setup" --quiet --no-register --source "$url/$set/" --dir "Z:$dir" \
    --log "Z:$work/setup.log" "$@"
  expect_needed "$needed"
}

install_row() { # row set count mode
  local row=$1 set=$2 count=$3 mode=$4
  rm -rf "$work/install"
  run_setup "$row$mode" "$set" "$work/install" "$count"
  local got
  got=$(find "$work/install" -name '*.dat' -type f | wc -l)
  if [ "$got" != "$count" ]; then
    echo "bench.sh: the install left $got of $count game files" >&2
    exit 1
  fi
  rm -rf "$work/install"
  measure "$row.loop$mode" "${pin[@]}" "$wine" "$loop" "$url/$set/" "Z:$work/list-$set"
  if [ "$mode" = "" ]; then
    rm -rf "$work/curl"
    mkdir "$work/curl"
    measure "$row.ref" curl --silent --show-error --fail -K "$work/curl-$set.cfg"
    rm -rf "$work/curl"
  fi
}

# The up-to-date check beside its floor under Wine (the loop fetching only
# the manifest: Wine's start and one request) and the same look at every
# file's size natively.
check_row() { # row set mode
  local row=$1 set=$2 mode=$3
  run_setup "$row$mode" "$set" "$work/installed-$set" 0
  measure "$row.loop$mode" "${pin[@]}" "$wine" "$loop" "$url/$set/" "Z:$work/manifest-list"
  if [ "$mode" = "" ]; then
    measure "$row.ref" find "$work/installed-$set" -type f -printf '%s\n'
  fi
}

# Restarts Wine's server, pinned to one processor or not, and lets Wine
# start its own services before anything is timed.
start_wine() { # pin-prefix...
  pin=("$@")
  "$wineserver" -k >/dev/null 2>&1 </dev/null || true
  "$wineserver" -w >/dev/null 2>&1 </dev/null || true
  "${pin[@]}" "$wineserver" -p >/dev/null 2>&1 </dev/null
  : >"$work/empty-list"
  "${pin[@]}" "$wine" "$loop" "$url/" "Z:$work/empty-list" >/dev/null 2>&1 </dev/null
}

mkfifo "$work/port"
"$server" "$work/www" >"$work/port" &
server_pid=$!
read -r port <"$work/port"
url=http://127.0.0.1:$port

say "a fresh Wine prefix in $WINEPREFIX"
"$root/tests/wine-prefix.sh" start "$WINEPREFIX" >/dev/null 2>&1 </dev/null
pin=()
make_set big "$big" 4194304
make_set medium "$medium" 65536
make_set small "$small" 4096
make_set huge "$huge" 4096
make_installed small
make_installed huge

for mode in "" .pinned; do
  if [ "$mode" = "" ]; then start_wine; else start_wine taskset -c "$cpu"; fi
  for run in $(seq "$runs"); do
    say "run $run of $runs${mode:+, Wine pinned to processor $cpu}"
    install_row big big "$big" "$mode"
    install_row medium medium "$medium" "$mode"
    install_row small small "$small" "$mode"
    if [ "$mode" = "" ]; then install_row huge huge "$huge" "$mode"; fi
    run_setup "repair$mode" small "$work/installed-small" 0 --repair
    if [ "$mode" = "" ]; then
      measure repair.ref sh -c "find '$work/installed-small' -name '*.dat' -print0 | xargs -0 b2sum -l 256 >/dev/null"
    fi
    check_row check small "$mode"
    check_row checkhuge huge "$mode"
  done
done

# The table.
median() { # key
  [ -s "$work/results/$1" ] || return 0
  sort -g "$work/results/$1" | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
peak_mib() { # key
  sort -g "$work/results/$1.mem" | tail -n 1 | awk '{ printf "%.0f MiB", $1 / 1024 }'
}
seconds() { # key
  local m
  m=$(median "$1")
  if [ -z "$m" ]; then echo "-"; else awk -v s="$m" 'BEGIN { printf "%.2f s", s }'; fi
}
rate() { # key bytes
  local m
  m=$(median "$1")
  if [ -z "$m" ]; then echo "-"; else awk -v s="$m" -v b="$2" 'BEGIN { printf "%.0f MB/s", b / 1e6 / s }'; fi
}
times() { # key reference-key: how many times the reference's time
  local a b
  a=$(median "$1")
  b=$(median "$2")
  # GNU time rounds to hundredths: a reference too quick for that gives no ratio.
  if [ -z "$a" ] || [ -z "$b" ] || awk -v b="$b" 'BEGIN { exit !(b == 0) }'; then echo "-"
  else awk -v a="$a" -v b="$b" 'BEGIN { printf "%.1fx", a / b }'; fi
}
peak_kib() { sort -g "$work/results/$1.mem" | tail -n 1; }
number() { printf '%d' "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta'; }
bigbytes=$((big * 4194304))
if [ "$big" = 256 ]; then bigname="1 GiB in 256 files"; else bigname="$((bigbytes >> 20)) MiB in $big files"; fi

echo
echo "Medians of $runs run(s); Wine unpinned, pinned to processor $cpu in the \"pinned\" columns; MB is 10^6 bytes."
echo
echo "| work | the program | pinned | bare WinHTTP loop | pinned | native reference | program / loop | program / native |"
echo "|---|---|---|---|---|---|---|---|"
echo "| install of $bigname | $(rate big "$bigbytes") | $(rate big.pinned "$bigbytes") | $(rate big.loop "$bigbytes") | $(rate big.loop.pinned "$bigbytes") | curl $(rate big.ref "$bigbytes") | $(times big big.loop) | $(times big big.ref) |"
for row in medium small huge; do
  case $row in
    medium) name="$(number "$medium") files of 64 KiB" ;;
    small) name="$(number "$small") files of 4 KiB" ;;
    huge) name="$(number "$huge") files of 4 KiB" ;;
  esac
  echo "| install of $name | $(seconds "$row") | $(seconds "$row.pinned") | $(seconds "$row.loop") | $(seconds "$row.loop.pinned") | curl $(seconds "$row.ref") | $(times "$row" "$row.loop") | $(times "$row" "$row.ref") |"
done
echo "| \"--repair\" of $(number "$small") files of 4 KiB | $(seconds repair) | $(seconds repair.pinned) | | | b2sum -l 256 $(seconds repair.ref) | | $(times repair repair.ref) |"
for row in check checkhuge; do
  if [ "$row" = check ]; then name=$(number "$small"); else name=$(number "$huge"); fi
  echo "| up-to-date check of $name files | $(seconds "$row") | $(seconds "$row.pinned") | manifest only $(seconds "$row.loop") | $(seconds "$row.loop.pinned") | find -printf %s $(seconds "$row.ref") | $(times "$row" "$row.loop") | $(times "$row" "$row.ref") |"
done
echo "| peak memory (resident): install of $bigname / of $(number "$small") files / of $(number "$huge") files / check of $(number "$huge") files | $(peak_mib big) / $(peak_mib small) / $(peak_mib huge) / $(peak_mib checkhuge) | | $(peak_mib big.loop) | | | | |"
echo
echo "The install of $(number "$small") files of 4 KiB took $(times small small.loop) the bare loop's time; the install of $(number "$huge") files peaked at $(awk -v a="$(peak_kib huge)" -v b="$(peak_kib checkhuge)" 'BEGIN { printf "%.2fx", a / b }') the up-to-date check's memory of the same release."
