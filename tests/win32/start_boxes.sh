#!/usr/bin/env bash
# lobby-server.exe's boxes at start-up, under Wine on a virtual X display (Xvfb):
# - double-clicked in Explorer (no argument, a console of its own) in the folder it was
#   unpacked into, it says in a box what it needs (the access word), how to start it (the
#   zip's start script) and where its files go; after OK it ends with 2, the folder as it was;
# - over a registry with a line it cannot read whole, with the access word, the box with the
#   warning opens and the lobby serves behind it;
# - the same registry and a wrong word: started from a console (the shell's), the program ends
#   at once with 2, the warning on standard error; started from a shortcut (a console of its
#   own, nobody reading it), the box with the warning opens as it ends, and it ends after OK;
# - the zip's "Start lobby.cmd" starts the lobby with its files in the folder data beside it,
#   where lobbyctl.exe in the same folder finds it without --dir.
# Exit 77 (skipped) where Xvfb, xwininfo or Wine is not installed.
#   start_boxes.sh lobby-server.exe lobby-window-probe.exe WINEPREFIX
# A Wine prefix of its own (WINEPREFIX-start): Wine's desktop process takes the display of
# whichever program of the prefix started it first.
set -uo pipefail
server=$1
probe=$2
start_script="$(cd "$(dirname "$0")/../.." && pwd)/packaging/windows/Start lobby.cmd"
export WINEPREFIX="$3-start" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

source "$(dirname "$0")/support/wine_display.sh"
need_tools Xvfb xwininfo wine python3
start_display

# A registry whose third line is too long to be read whole.
bad_registry() {
    mkdir -p "$1"
    python3 -c 'import sys; open(sys.argv[1], "wb").write(b",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,127.0.0.1,16,,\r\n," + b"x" * 5000 + b",pw,127.0.0.1,1,,\r\n")' \
        "$1/cadastro.txt"
}

# Explorer: the download folder holds the program alone, as unpacked from the zip.
mkdir "$work/unpacked"
cp "$server" "$work/unpacked/lobby-server.exe"
said=$(wine "$probe" --explorer-start "$(windows_path "$work/unpacked")\\lobby-server.exe" | tr -d '\r') ||
    fail "the start showed no box: $said"
for words in 'box "lobby-server"' 'needs the access word' 'Nothing was written' '"Start lobby.cmd"' \
    'cadastro.txt' 'exit 2'; do
    grep -qF "$words" <<<"$said" || fail "\"$words\" is not in what the start said: $said"
done
touched=$(cd "$work/unpacked" && ls -A | grep -v '^lobby-server.exe$')
[ -z "$touched" ] || fail "the start wrote to its folder: $touched"

# The warning's box while serving: requests are still taken (each is logged).
bad_registry "$work/serving"
port=$(free_udp_port)
wine "$server" m5qt4 --dir "$(windows_path "$work/serving")" --listen-port "$port" --reply-port 9 \
    >"$work/serving.out" 2>"$work/serving.err" &
serving=$!
pids+=("$serving")
deadline=$((SECONDS + 60))
until xwininfo -name lobby-server >/dev/null 2>&1 || [ $SECONDS -ge $deadline ]; do sleep 0.2; done
xwininfo -name lobby-server >/dev/null 2>&1 || fail "no box for the registry's warning: $(cat "$work/serving.err")"
deadline=$((SECONDS + 60))
until grep -qF 'ana|pw|slc|' "$work/serving/"*-*.txt 2>/dev/null || [ $SECONDS -ge $deadline ]; do
    printf 'ana|pw|slc|' >"/dev/udp/127.0.0.1/$port"
    sleep 0.5
done
grep -qF 'ana|pw|slc|' "$work/serving/"*-*.txt 2>/dev/null || fail "the lobby does not serve behind the warning's box"
wine "$probe" --close >/dev/null || fail "the window did not close"
wait "$serving"

# A wrong word from the shell's console: it ends by itself, the warning on standard error.
bad_registry "$work/console"
timeout 120 wine "$server" wrong --dir "$(windows_path "$work/console")" --listen-port 0 \
    >"$work/console.out" 2>"$work/console.err"
status=$?
[ "$status" -eq 2 ] || fail "a wrong word from a console ended with $status (124: held by a box)"
grep -qF 'over 4096 characters are cut' "$work/console.err" || fail "no warning on standard error: $(cat "$work/console.err")"

# The same from a shortcut: the box opens as the program ends, and it ends after OK.
bad_registry "$work/shortcut"
said=$(wine "$probe" --explorer-start "$(windows_path "$work/unpacked")\\lobby-server.exe" wrong --dir \
    "$(windows_path "$work/shortcut")" --listen-port 0 | tr -d '\r') || fail "no box as the start ended: $said"
grep -qF 'over 4096 characters are cut' <<<"$said" || fail "the box does not hold the warning: $said"
grep -qF 'exit 2' <<<"$said" || fail "the start did not end with 2 after OK: $said"
# The zip's way: the start script (a free port, not 12001), then lobbyctl.exe beside it.
mkdir "$work/zip"
cp "$server" "$work/zip/lobby-server.exe"
cp "$(dirname "$server")/lobbyctl.exe" "$start_script" "$work/zip/"
wine cmd /c "$(windows_path "$work/zip")\\Start lobby.cmd" --listen-port 0 >/dev/null 2>&1 ||
    fail "the start script failed"
deadline=$((SECONDS + 60))
until wine "$work/zip/lobbyctl.exe" status >"$work/ctl.out" 2>&1 || [ $SECONDS -ge $deadline ]; do sleep 0.5; done
grep -q 'players: 0 online, 0 registered' "$work/ctl.out" || fail "lobbyctl.exe did not find the lobby: $(cat "$work/ctl.out")"
[ -f "$work/zip/data/cadastro.txt" ] || fail "the start script's lobby keeps no registry in data: $(ls -R "$work/zip")"
wine "$probe" --close >/dev/null || fail "the start script's window did not close"

echo "start-up boxes: Explorer told how to start and nothing written; the lobby serves behind a warning;" \
    "a wrong word ends at once from a console, and after the warning's box from a shortcut;" \
    "the start script's lobby found by lobbyctl.exe beside it"
