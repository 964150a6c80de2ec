#!/bin/bash
# Builds the setup program, publishes two releases of a made-up game on a
# local web server (127.0.0.1 only) and runs the real QuillmarrowDunmirSetup.exe
# under Wine against them, in a fresh Wine prefix of its own:
#   1. a quiet first install, 2. a quiet update that changes and drops files,
#   then the setup window under Xvfb (its picture, an unattended install),
#   3. a quiet uninstall started from the copy inside the install folder.
# It shows what each step did and where. Everything it starts is stopped on
# the way out, also after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh

step() { printf '\n=== %s\n' "$*"; }
say() { printf '  %s\n' "$*"; }

demo=$root/build/demo
win=$root/build/windows
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$demo/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

server_pid=
cleanup() {
    local status=$?
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [ -d "$WINEPREFIX" ]; then
        "$wineserver" -k >/dev/null 2>&1 </dev/null || true
        "$wineserver" -w >/dev/null 2>&1 </dev/null || true
    fi
    if [ "$status" -ne 0 ]; then
        echo "demo failed (exit $status); its files are in $demo" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine sees the Linux file system as drive Z:.
winpath() { printf 'Z:%s' "$1"; }

step "building the Windows programs in build/windows"
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$win" -j "$jobs" --target QuillmarrowDunmirSetup make_release demo_game
setup_exe=$win/app/QuillmarrowDunmirSetup.exe
make_release=$win/tools/make_release.exe
game_exe=$win/tools/demo_game.exe
say "setup program: $setup_exe ($(stat -c %s "$setup_exe") bytes)"

step "a fresh Wine prefix in $WINEPREFIX"
"$wineserver" -k >/dev/null 2>&1 </dev/null || true
rm -rf "$demo"
mkdir -p "$WINEPREFIX" "$demo/www"
"$wineserver" -p >/dev/null 2>&1 </dev/null
timeout 300 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
# Wine links the profile's Desktop and the like to the host's home folder;
# the demo's shortcuts stay inside its prefix.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then
        rm "$link"
        mkdir "$link"
    fi
done
user=$(id -un)
users=$WINEPREFIX/drive_c/users/$user
install_dir=$users/AppData/Local/Programs/Quillmarrow\ Dunmir
start_menu=$users/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Quillmarrow\ Dunmir
desktop_link=$users/Desktop/Quillmarrow\ Dunmir.lnk
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillmarrowDunmir'
say "install folder (the default): C:\\users\\$user\\AppData\\Local\\Programs\\Quillmarrow Dunmir"
say "                 on Linux at: $install_dir"

# A release of the made-up game: the setup program itself (the update
# shortcut and the uninstall entry start the copy in the install folder),
# the tiny game program and a few data files.
make_game() { # folder greeting
    mkdir -p "$1/game" "$1/data/maps"
    cp "$setup_exe" "$1/QuillmarrowDunmirSetup.exe"
    cp "$game_exe" "$1/game/Dunmir.exe"
    printf '%s\n' "$2" >"$1/data/greeting.txt"
    head -c 300000 /dev/urandom >"$1/data/maps/harbour.map"
    printf 'Quillmarrow Dunmir: a made-up game for this demo.\n' >"$1/readme.txt"
}
publish() { # folder version
    timeout 120 "$wine" "$make_release" "$(winpath "$1")" "$(winpath "$demo/www")" "$2" \
        game/Dunmir.exe "$(winpath "$root/tests/data/test-release-key.txt")" </dev/null
}

step "release 1.0: signed with the test key, published in build/demo/www"
make_game "$demo/game-1.0" "Welcome to Quillmarrow Dunmir 1.0!"
head -c 120000 /dev/urandom >"$demo/game-1.0/data/maps/old-tower.map"
publish "$demo/game-1.0" 1.0

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$demo/www" "$port" >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
    curl -fs -o /dev/null "http://127.0.0.1:$port/latest.manifest" && break
    sleep 0.1
done
source_url="http://127.0.0.1:$port/"
say "release server: $source_url (python3 -m http.server, pid $server_pid)"
served_lines=$(wc -l <"$demo/server.log")
show_requests() {
    say "requests the server answered:"
    tail -n +"$((served_lines + 1))" "$demo/server.log" | sed -n 's/.*"\(GET [^"]*\)" \([0-9]*\).*/    \1 -> \2/p'
    served_lines=$(wc -l <"$demo/server.log")
}
show_log() {
    say "log file $1:"
    sed 's/\r$//; s/^/    /' "$1"
}
show_files() {
    if [ -d "$install_dir" ]; then
        say "files in the install folder:"
        (cd "$install_dir" && find . -type f -printf '    %-32P %10s bytes\n' | sort)
    else
        say "the install folder is gone"
    fi
}
show_registration() {
    say "uninstall entry (wine reg query $uninstall_key):"
    if ! timeout 60 "$wine" reg query "$uninstall_key" </dev/null >"$demo/reg.txt" 2>/dev/null; then
        say "    (no such key)"
    else
        sed 's/\r$//; /^$/d; s/^/  /' "$demo/reg.txt"
    fi
    say "shortcuts:"
    local found=0
    for link in "$start_menu"/*.lnk "$desktop_link"; do
        if [ -e "$link" ]; then
            say "    $link"
            found=1
        fi
    done
    [ "$found" = 1 ] || say "    (none)"
}
# Output goes through a file: a Wine process may leave helpers behind that
# would hold a pipe open.
run_game() {
    timeout 60 "$wine" "$install_dir/game/Dunmir.exe" </dev/null >"$demo/game.txt" 2>/dev/null || true
    sed 's/\r$//; s/^/    /' "$demo/game.txt"
}
run_setup() { # program log arguments...
    local program=$1 log=$2
    shift 2
    say "running: wine $(basename "$program") $* --log $(winpath "$log")"
    local status=0
    timeout 300 "$wine" "$program" "$@" --log "$(winpath "$log")" </dev/null || status=$?
    say "exit code: $status"
    return "$status"
}

step "1. quiet first install"
run_setup "$setup_exe" "$demo/install.log" --quiet --source "$source_url"
show_log "$demo/install.log"
show_requests
show_files
say "install.source holds: $(cat "$install_dir/install.source")"
show_registration
say "the installed game says:"
run_game

step "release 2.0: a new greeting and a new map; old-tower.map is dropped"
make_game "$demo/game-2.0" "Welcome back! This is Quillmarrow Dunmir 2.0."
cp "$demo/game-1.0/data/maps/harbour.map" "$demo/game-2.0/data/maps/harbour.map"
head -c 80000 /dev/urandom >"$demo/game-2.0/data/maps/glacier.map"
publish "$demo/game-2.0" 2.0

step "2. quiet update (no --source: the recorded install.source is used)"
run_setup "$setup_exe" "$demo/update.log" --quiet
show_log "$demo/update.log"
show_requests
show_files
if [ -e "$install_dir/data/maps/old-tower.map" ]; then
    say "data/maps/old-tower.map is still there, but 2.0 dropped it" >&2
    exit 1
fi
say "data/maps/old-tower.map, which 2.0 dropped, was deleted"
show_registration
say "the updated game says:"
run_game

step "the setup window (on a private X server): its picture and an unattended install with --yes"
scripts/demo-window.sh "$setup_exe" "$source_url" "$WINEPREFIX" "$demo/window"
say "window pictures: $demo/window/window-snap.png (--snap), $demo/window/window-live.png (the live window)"

step "3. quiet uninstall, started like the uninstall entry does: the copy in the install folder"
# A player's own file would stay; this demo has none.
run_setup "$install_dir/QuillmarrowDunmirSetup.exe" "$demo/uninstall.log" --uninstall --quiet
show_log "$demo/uninstall.log"
say "waiting for the command interpreter to remove the setup program and the folder..."
for _ in $(seq 150); do
    [ -e "$install_dir" ] || break
    sleep 0.2
done
show_files
show_registration

step "done"
say "releases:    $demo/www (latest.manifest and files/<hash>)"
say "logs:        $demo/install.log, $demo/update.log, $demo/uninstall.log, $demo/window/*.log"
say "pictures:    $demo/window/window-snap.png, $demo/window/window-live.png"
say "wine prefix: $WINEPREFIX"
[ ! -e "$install_dir" ]
