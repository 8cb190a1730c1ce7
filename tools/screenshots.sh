#!/usr/bin/env bash
# Takes the README's screenshots from the real program: starts `tools/run.sh` (the demo gateway
# and the window, as `make run` does) on a virtual display, walks the typical road with real X
# input, saves the window at each step, and ends with Exit, which must also stop the gateway.
# It is also the end-to-end check of `make run`.
#
# Usage: tools/screenshots.sh [build dir] [output dir]
#        (needs xvfb, xauth, xdotool and imagemagick; runs itself under xvfb-run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [[ -z "${SICLQUILL_SHOTS_UNDER_XVFB:-}" ]]; then
    export SICLQUILL_SHOTS_UNDER_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" "$out"
fi
export QT_QPA_PLATFORM=xcb

log=$(mktemp)
run_pid=""
cleanup() {
    # Only what this script started: run.sh stops its own gateway when it ends.
    if [[ -n "$run_pid" ]] && kill -0 "$run_pid" 2>/dev/null; then
        kill "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
    fi
    rm -f "$log"
}
trap cleanup EXIT

"$root/tools/run.sh" "$build" >"$log" 2>&1 &
run_pid=$!

# run.sh says what to type into the server box once the gateway is ready.
for _ in $(seq 300); do
    grep -q '^>>>' "$log" && break
    kill -0 "$run_pid" 2>/dev/null || { cat "$log"; echo "screenshots: run.sh ended early" >&2; exit 1; }
    sleep 0.1
done
cat "$log"
server=""
if grep -q '^>>> In the window, type ' "$log"; then
    server=$(sed -n 's/^>>> In the window, type \([^ ]*\) into.*/\1/p' "$log")
fi
gateway_pid=$(sed -n 's/^Gateway simulator running (pid \([0-9]*\)).*/\1/p' "$log")

wid=$(xdotool search --sync --onlyvisible --name '^Brask SICL Quill$' | head -1)
xdotool windowfocus --sync "$wid" 2>/dev/null || true

# Control centres in window coordinates (the window has a fixed layout).
click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; sleep 0.4; }
shot() { import -window "$wid" "$out/$1"; echo "saved $out/$1"; }
type_text() { xdotool type --delay 30 "$1"; sleep 0.2; }
select_all() { xdotool key ctrl+a; }

server_box=(175 65)
create_link=(429 65)
find_instruments=(66 131)
instrument_box=(195 131)
select_and_link=(333 131)
command_box=(207 255)
run_loop=(58 448)
stop_loop=(156 448)
exit_button=(604 556)

sleep 0.5
shot road-1-start.png

# 1. The server box stays empty when the gateway serves the standard portmapper port.
click "${server_box[@]}"
if [[ -n "$server" ]]; then
    select_all
    type_text "$server"
fi
click "${create_link[@]}"
sleep 0.5
shot road-2-server-linked.png

# 2. Find the instruments on the bus.
click "${find_instruments[@]}"
sleep 1
shot road-3-found.png

# 3. Link to the multimeter at 22.
click "${instrument_box[@]}"
select_all
type_text 22
click "${select_and_link[@]}"
sleep 0.5

# 4. Ask it who it is.
click "${command_box[@]}"
type_text '*IDN?'
xdotool key Return
sleep 0.8
shot road-4-idn.png

# 5. The identity loop for a few passes.
click "${run_loop[@]}"
sleep 2
shot road-5-loop.png
click "${stop_loop[@]}"

# 6. Exit closes the links and the window; run.sh then stops the gateway.
click "${exit_button[@]}"
for _ in $(seq 100); do
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$run_pid" 2>/dev/null; then
    echo "screenshots: the window did not close on Exit" >&2
    exit 1
fi
wait "$run_pid" || true
run_pid=""
if [[ -n "$gateway_pid" ]] && kill -0 "$gateway_pid" 2>/dev/null; then
    echo "screenshots: the gateway (pid $gateway_pid) still runs after the window closed" >&2
    exit 1
fi
echo "screenshots: done; the gateway stopped with the window"
