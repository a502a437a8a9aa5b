# What the Wine tests on a virtual X display share; sourced by them once WINEPREFIX is set.

# Exits 77 (skipped) where one of the tools named is not installed.
need_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
    done
}

# Ends the test as failed, saying why; a test that defines fail_details adds what it shows.
fail() {
    echo "FAILED: $*"
    if declare -F fail_details >/dev/null; then fail_details; fi
    exit 1
}

# A work folder ($work), removed at the end with Wine and every process in pids, and a
# virtual display (Xvfb) that DISPLAY names, with no Wine desktop left from a run before on it
# (a desktop left would still draw on that run's display, now gone).
start_display() {
    work=$(mktemp -d)
    pids=()
    trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.err")"
    export DISPLAY=":$(head -n1 "$work/display")"
    wineserver -k 2>/dev/null
}

# A Linux path as Wine's programs name it (drive Z: is the root).
windows_path() { echo "Z:${1//\//\\}"; }

# A UDP port on loopback that nobody holds now.
free_udp_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
