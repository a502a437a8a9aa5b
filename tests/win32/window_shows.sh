#!/usr/bin/env bash
# The native window under Wine on a virtual X display (Xvfb): the demo over a million made-up
# players must show a window with the server's caption, holding the grid (a list view of a
# million rows, whose first row reads as the grid reads it) and the memo; the screenshot read
# by text recognition shows the header and the players; the error box opens and the loop
# goes on behind it, so closing the window still ends the loop.
# Exit 77 (skipped) where Xvfb, the X tools or Wine are not installed.
#   window_shows.sh lobby-window-demo.exe WINEPREFIX
# The window gets a Wine prefix of its own, WINEPREFIX-window: Wine's desktop process, which
# draws every window of a prefix, takes the display of whichever program started it first,
# and a test running beside this one without a display would leave it none.
# LOBBY_WINDOW_SCREENSHOT=path keeps the screenshot.
set -uo pipefail
demo=$1
prefix="$2-window"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
caption="Servidor para jogos Multiplayer - KIVO online"

for tool in Xvfb xwininfo xprop import wine; do
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
    echo "--- the demo said:"; cat "$work/out" "$work/err" 2>/dev/null
    exit 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.err")"
export DISPLAY=":$(head -n1 "$work/display")"
# A desktop left from a run just before would still draw on that run's display, now gone.
wineserver -k 2>/dev/null

# The demo closes its window by itself 10 seconds after showing it, as the operator would,
# with an error box open since the loop's first turn.
wine "$demo" --seconds 10 --error >"$work/out" 2>"$work/err" &
demo_pid=$!
pids+=("$demo_pid")

window=""
for _ in $(seq 600); do
    window=$(xwininfo -name "$caption" 2>/dev/null | awk '/Window id:/ {id=$4} /IsViewable/ {print id}')
    [ -n "$window" ] && break
    kill -0 "$demo_pid" 2>/dev/null || fail "the demo ended before its window showed"
    sleep 0.1
done
[ -n "$window" ] || fail "no window captioned \"$caption\" was shown"
xprop -id "$window" WM_NAME | grep -qF "\"$caption\"" || fail "the caption reads: $(xprop -id "$window" WM_NAME)"

# The window's tree as Windows sees it, printed by the demo once shown.
for _ in $(seq 100); do grep -q Memo1 "$work/out" && break; sleep 0.1; done
grep -q 'SysListView32 Cad visible=1 items=1000000 .* first="jogador0000001"' "$work/out" \
    || fail "the grid is not there with its million rows"
grep -q 'SysListView32 Memo1 visible=1 items=1000001 .* first=",Nick,Senha,Ip,Pontos,"' "$work/out" \
    || fail "the memo is not there with the saved registry"

# The picture: header and players painted where the operator looks.
import -window "$window" "png:$work/window.png" || fail "screenshot failed"
[ -n "${LOBBY_WINDOW_SCREENSHOT:-}" ] && cp "$work/window.png" "$LOBBY_WINDOW_SCREENSHOT"
if command -v tesseract >/dev/null; then
    convert "$work/window.png" -resize 300% "$work/big.png"
    text=$(tesseract "$work/big.png" stdout --psm 6 2>/dev/null)
    for word in Nick Senha Pontos jogador0000001; do
        grep -qF "$word" <<<"$text" || fail "\"$word\" is not painted; the picture reads:
$text"
    done
fi

xwininfo -name "Lobby-window-demo" >/dev/null 2>&1 || fail "the error box did not open"

# Closing the window ends the loop (the server saves at that point), the box still open.
for _ in $(seq 300); do grep -q '^closed' "$work/out" && break; sleep 0.1; done
grep -q '^closed' "$work/out" || fail "closing the window did not end the loop"
wait "$demo_pid" || fail "the demo's exit status was $?"
echo "window shown: caption, grid of 1000000 rows, memo; closed"
