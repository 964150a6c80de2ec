#!/bin/bash
# Creates a fresh Wine prefix for one test run and keeps one wineserver alive
# for it ("start"), or stops that server ("stop"). Wine's background processes
# must not hold CTest's output pipe open, so nothing of theirs is connected to it.
set -eu
action=$1
prefix=$2
export WINEPREFIX=$prefix
wineserver=/usr/lib/wine/wineserver
case $action in
  start)
    "$wineserver" -k >/dev/null 2>&1 </dev/null || true
    "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null
    # Wine links the profile's Desktop, Documents and the like to the host's
    # home folder; the tests' shortcuts belong inside the prefix instead.
    for link in "$prefix"/drive_c/users/*/*; do
        if [ -L "$link" ]; then
            rm "$link"
            mkdir "$link"
        fi
    done
    echo "Wine prefix ready: $prefix"
    ;;
  stop)
    "$wineserver" -k >/dev/null 2>&1 </dev/null || true
    "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    ;;
esac
