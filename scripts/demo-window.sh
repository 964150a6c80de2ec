#!/bin/bash
# The setup window in the demo, on a private X server (Xvfb): the "--snap"
# picture of the window, an unattended install through the window ("--yes"),
# and a screenshot of the live window once the game is installed.
#
#   scripts/demo-window.sh <QuillmarrowDunmirSetup.exe> <release base URL> <Wine prefix> [output folder]
#
# The output folder (default: "window" beside the prefix) receives
#   window-snap.png      the "--snap" picture, with the window's sample texts
#   window-live.png      a screenshot of the live window, cut from the screen
#   window-install.log   the log of the unattended install
#   window-live.log      the log of the run that was photographed
# The install goes to a folder of its own with "--no-register", so that it
# leaves the rest of the demo's install, shortcuts and uninstall entry alone.
# Everything this script starts is stopped on the way out, also after a failure.
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 <QuillmarrowDunmirSetup.exe> <release base URL> <Wine prefix> [output folder]" >&2
    exit 2
fi
setup_exe=$(realpath "$1")
source_url=$2
export WINEPREFIX=$(realpath "$3")
out=$(realpath -m "${4:-$(dirname "$WINEPREFIX")/window}")
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64

say() { printf '  %s\n' "$*"; }
winpath() { printf 'Z:%s' "$1"; }

mkdir -p "$out"
rm -f "$out"/window-*.png "$out"/window-*.log
install_dir='C:\Games\Quillmarrow Dunmir (window demo)'
desktop=qd-window-demo-$$
explorer_key='HKCU\Software\Wine\Explorer'

xvfb_pid=
live_pid=
old_desktop=
cleanup() {
    local status=$?
    if [ -n "$live_pid" ]; then
        kill "$live_pid" 2>/dev/null || true
        wait "$live_pid" 2>/dev/null || true
    fi
    # Later Wine programs of the demo go back to the prefix's own desktop.
    if [ -n "$old_desktop" ]; then
        timeout 60 "$wine" reg add "$explorer_key" /v Desktop /d "$old_desktop" /f </dev/null >/dev/null 2>&1 || true
    else
        timeout 60 "$wine" reg delete "$explorer_key" /v Desktop /f </dev/null >/dev/null 2>&1 || true
    fi
    timeout 60 "$wine" reg delete "$explorer_key\\Desktops" /v "$desktop" /f </dev/null >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -f "$out/.display"
    [ "$status" -eq 0 ] || echo "the window demo failed (exit $status); its files are in $out" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display number itself and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out/.display" >/dev/null 2>&1 </dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$out/.display" ] && break
    sleep 0.1
done
[ -s "$out/.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$out/.display")
say "private X server: Xvfb on display $DISPLAY (1280 x 1024)"

# Wine draws all windows of a desktop through the display that the desktop's
# first program found. The prefix's own desktop was started without one (by
# wineboot), so the programs here get a desktop of their own on this display,
# the size of the screen; the setting is put back on the way out.
old_desktop=$(timeout 60 "$wine" reg query "$explorer_key" /v Desktop </dev/null 2>/dev/null |
    sed -n 's/\r$//; s/^ *Desktop *REG_SZ *//p' || true)
timeout 60 "$wine" reg add "$explorer_key" /v Desktop /d "$desktop" /f </dev/null >/dev/null 2>&1
timeout 60 "$wine" reg add "$explorer_key\\Desktops" /v "$desktop" /d 1280x1024 /f </dev/null >/dev/null 2>&1

run_setup() { # arguments...
    say "running: wine $(basename "$setup_exe") $*"
    local status=0
    timeout 300 "$wine" "$setup_exe" "$@" </dev/null >/dev/null 2>&1 || status=$?
    say "exit code: $status"
    return "$status"
}

say "the window's picture with its sample texts (--snap):"
run_setup --snap "$(winpath "$out/window-snap.png")" --dir "$install_dir"
say "$out/window-snap.png: $(identify -format '%w x %h pixels' "$out/window-snap.png")"

say "an unattended install through the window (--yes): no click, the window closes itself"
run_setup --yes --source "$source_url" --dir "$install_dir" --no-register --log "$(winpath "$out/window-install.log")"
sed 's/\r$//; s/^/    /' "$out/window-install.log"
grep -q " is installed\. - " "$out/window-install.log"

say "the window left open after a check that finds the game up to date, photographed from the screen:"
say "running: wine $(basename "$setup_exe") --source $source_url --dir \"$install_dir\" --no-register"
timeout 300 "$wine" "$setup_exe" --source "$source_url" --dir "$install_dir" --no-register \
    --log "$(winpath "$out/window-live.log")" </dev/null >/dev/null 2>&1 &
live_pid=$!
for _ in $(seq 600); do
    grep -q "is installed and up to date" "$out/window-live.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "is installed and up to date" "$out/window-live.log"
# Give the window a moment to paint its new buttons.
sleep 1
import -display "$DISPLAY" -window root "$out/window-screen.png"
# The window sits in the middle of an otherwise plain desktop: trimming the
# desktop's colour away leaves the window with its frame.
convert "$out/window-screen.png" -trim +repage "$out/window-live.png"
rm -f "$out/window-screen.png"
say "$out/window-live.png: $(identify -format '%w x %h pixels' "$out/window-live.png")"

# Closed like a user closes it: taskkill without /f sends the window WM_CLOSE,
# which closes it in this phase.
timeout 60 "$wine" taskkill /im QuillmarrowDunmirSetup.exe </dev/null >/dev/null 2>&1 || true
for _ in $(seq 200); do
    kill -0 "$live_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$live_pid" 2>/dev/null; then
    echo "the window did not close" >&2
    exit 1
fi
status=0
wait "$live_pid" || status=$?
live_pid=
say "the photographed window was closed; exit code: $status"
sed 's/\r$//; s/^/    /' "$out/window-live.log"
[ "$status" -eq 0 ]
