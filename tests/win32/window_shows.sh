#!/usr/bin/env bash
# lobby-server.exe's native window under Wine on a virtual X display (Xvfb): started without
# --headless over a registry of two players, it shows a window with the server's caption,
# holding the grid (a list view of the two players, the header apart) and the memo; a score
# reported is saved and the memo shows the saved registry; the status line under the grid
# tells the players online and registered and the last save; the window opens at its known
# size and, made larger, gives the grid the room while the status line and the memo stay at
# the bottom; the screenshot read by text recognition shows the header and the players; a
# failed save opens the error box and the lobby goes on behind it; closing the window saves,
# ends with 0.
# Exit 77 (skipped) where Xvfb, the X tools or Wine are not installed.
#   window_shows.sh lobby-server.exe lobby-window-probe.exe WINEPREFIX
# The window gets a Wine prefix of its own, WINEPREFIX-window: Wine's desktop process, which
# draws every window of a prefix, takes the display of whichever program started it first,
# and a test running beside this one without a display would leave it none.
# LOBBY_WINDOW_SCREENSHOT=path keeps the screenshot.
set -uo pipefail
server=$1
probe=$2
prefix="$3-window"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
caption="Servidor para jogos Multiplayer - KIVO online"

source "$(dirname "$0")/support/wine_display.sh"
need_tools Xvfb xwininfo xprop import wine python3
fail_details() {
    echo "--- the server said:"; cat "$work/out" "$work/err" 2>/dev/null
}
start_display

mkdir "$work/data"
printf ',Nick,Senha,Ip,Pontos,,\r\n,jogadorum,pw,127.0.0.1,16,,\r\n,jogadoradois,pw,127.0.0.1,7,,\r\n' \
    >"$work/data/cadastro.txt"
port=$(free_udp_port)
wine "$server" m5qt4 --dir "$(windows_path "$work/data")" --listen-port "$port" --reply-port 9 >"$work/out" 2>"$work/err" &
server_pid=$!
pids+=("$server_pid")

window=""
for _ in $(seq 600); do
    window=$(xwininfo -name "$caption" 2>/dev/null | awk '/Window id:/ {id=$4} /IsViewable/ {print id}')
    [ -n "$window" ] && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server ended before its window showed"
    sleep 0.1
done
[ -n "$window" ] || fail "no window captioned \"$caption\" was shown"
xprop -id "$window" WM_NAME | grep -qF "\"$caption\"" || fail "the caption reads: $(xprop -id "$window" WM_NAME)"

# A login marks the player online; the score reported after it is saved, which fills the memo.
printf 'jogadorum|pw|slc|' >"/dev/udp/127.0.0.1/$port"
sleep 0.5
printf 'jogadorum|pw|scj|$10' >"/dev/udp/127.0.0.1/$port"
for _ in $(seq 100); do grep -q ',jogadorum,pw,127.0.0.1,32,+,' "$work/data/cadastro.txt" 2>/dev/null && break; sleep 0.1; done
sleep 0.5 # the window takes the save's news on the loop's next turn

tree=$(wine "$probe" | tr -d "\r") || fail "the probe found no window: $tree"
grep -q 'SysListView32 Cad visible=1 items=2 ' <<<"$tree" || fail "the grid does not hold the two players: $tree"
grep -q 'SysListView32 Memo1 visible=1 items=3 ' <<<"$tree" || fail "the memo does not hold the saved registry: $tree; cadastro.txt: $(cat "$work/data/cadastro.txt")"
grep -q '^inside 519x204$' <<<"$tree" || fail "the window did not open at its known size: $tree"
# The status line is read from the form every second.
deadline=$((SECONDS + 60))
while [ $SECONDS -lt $deadline ]; do
    grep -q 'Static visible=1 text="1 online, 2 registered; last save [-0-9: ]*, ok"' <<<"$tree" && break
    sleep 0.1
    tree=$(wine "$probe" | tr -d "\r")
done
grep -q 'Static visible=1 text="1 online, 2 registered; last save [-0-9: ]*, ok" top=126 height=18$' <<<"$tree" ||
    fail "no status line under the grid: $tree"

# Made larger, the grid takes the room; the status line and the memo keep theirs at the bottom.
tree=$(wine "$probe" --resize 700 500 | tr -d "\r") || fail "the probe could not resize the window: $tree"
grep -q '^inside 700x500$' <<<"$tree" || fail "the window was not resized: $tree"
grep -q 'SysListView32 Cad visible=1 items=2 top=0 height=422$' <<<"$tree" || fail "the grid did not grow: $tree"
grep -q 'Static visible=1 text=".*" top=422 height=18$' <<<"$tree" || fail "the status line did not follow: $tree"
grep -q 'SysListView32 Memo1 visible=1 items=3 top=440 height=60$' <<<"$tree" || fail "the memo did not follow: $tree"

# The picture: header and players painted where the operator looks.
import -window "$window" "png:$work/window.png" || fail "screenshot failed"
[ -n "${LOBBY_WINDOW_SCREENSHOT:-}" ] && cp "$work/window.png" "$LOBBY_WINDOW_SCREENSHOT"
if command -v tesseract >/dev/null; then
    convert "$work/window.png" -resize 300% "$work/big.png"
    text=$(tesseract "$work/big.png" stdout --psm 6 2>/dev/null)
    # The status line too: a resized window draws its moved children anew.
    for word in Nick Senha Pontos jogadorum jogadoradois registered; do
        grep -qF "$word" <<<"$text" || fail "\"$word\" is not painted; the picture reads:
$text"
    done
fi

# A save that fails opens the error box, and the lobby goes on behind it: a request after it
# is still logged. Clearing the way again lets the closing save succeed, the box still open.
mkdir "$work/data/cadastro.txt.tmp"
printf 'jogadorum|pw|scj|$1' >"/dev/udp/127.0.0.1/$port"
for _ in $(seq 100); do xwininfo -name lobby-server >/dev/null 2>&1 && break; sleep 0.1; done
xwininfo -name lobby-server >/dev/null 2>&1 || fail "a failed save opened no error box"
printf 'jogadoradois|pw|slc|' >"/dev/udp/127.0.0.1/$port"
for _ in $(seq 100); do grep -qF 'jogadoradois|pw|slc|' "$work/data/"*.txt 2>/dev/null && break; sleep 0.1; done
grep -qF 'jogadoradois|pw|slc|' "$work/data/"*.txt || fail "the lobby stopped behind the error box"
rmdir "$work/data/cadastro.txt.tmp"

# Closing the window, as the operator's click does, saves and ends the server with 0.
wine "$probe" --close >/dev/null || fail "the window did not close"
wait "$server_pid"
status=$?
[ "$status" -eq 0 ] || fail "the server's exit status was $status"
grep -q '^,jogadoradois,pw,127.0.0.1,7,' "$work/data/cadastro.txt" || fail "the registry was not saved: $(cat "$work/data/cadastro.txt")"
echo "window shown: caption, grid of the registry, memo of the save, error box with the lobby going on; closed with a save"
