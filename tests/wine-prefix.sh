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
    echo "Wine prefix ready: $prefix"
    ;;
  stop)
    "$wineserver" -k >/dev/null 2>&1 </dev/null || true
    "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    ;;
esac
