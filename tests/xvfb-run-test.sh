#!/bin/bash
# Runs one command (a test program under Wine) with a private X server, since
# Wine cannot create a window without a display. Xvfb picks a free display
# number itself (-displayfd), so tests running side by side never collide.
#
#   xvfb-run-test.sh <command> [arguments...]
set -u

ready=$(mktemp)
# Xvfb's own output must not hold CTest's pipe open.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$ready" >/dev/null 2>&1 </dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$ready"' EXIT

for _ in $(seq 1 100); do
    [ -s "$ready" ] && break
    if ! kill -0 "$xvfb" 2>/dev/null; then
        echo "xvfb-run-test: Xvfb did not start" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -s "$ready" ]; then
    echo "xvfb-run-test: Xvfb gave no display number" >&2
    exit 1
fi

DISPLAY=:$(head -n 1 "$ready")
export DISPLAY
"$@"
