#!/usr/bin/env bash
# lobby-server.exe double-clicked in Explorer, under Wine on a virtual X display (Xvfb): in a
# folder of its own, started without arguments and with a console of its own, it shows a box
# saying what it needs (the access word), how to start it (the zip's start script) and where
# its files go; after OK it ends with status 2, and the folder holds nothing new.
# Exit 77 (skipped) where Xvfb or Wine is not installed.
#   explorer_start.sh lobby-server.exe lobby-window-probe.exe WINEPREFIX
# A Wine prefix of its own (WINEPREFIX-explorer): Wine's desktop process takes the display of
# whichever program of the prefix started it first.
set -uo pipefail
server=$1
probe=$2
export WINEPREFIX="$3-explorer" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

for tool in Xvfb wine; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    exit 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.err")"
export DISPLAY=":$(head -n1 "$work/display")"
wineserver -k 2>/dev/null

# The download folder: the program alone, as unpacked from the zip.
mkdir "$work/unpacked"
cp "$server" "$work/unpacked/lobby-server.exe"
said=$(wine "$probe" --explorer-start "Z:${work//\//\\}\\unpacked\\lobby-server.exe" | tr -d '\r') ||
    fail "the start showed no box: $said"
for words in 'box "lobby-server"' 'needs the access word' 'Nothing was written' '"Start lobby.cmd"' \
    'cadastro.txt' 'exit 2'; do
    grep -qF "$words" <<<"$said" || fail "\"$words\" is not in what the start said: $said"
done
touched=$(cd "$work/unpacked" && ls -A | grep -v '^lobby-server.exe$')
[ -z "$touched" ] || fail "the start wrote to its folder: $touched"
echo "started as from Explorer: the box said what the lobby needs, status 2, nothing written"
