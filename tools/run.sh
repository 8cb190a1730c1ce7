#!/usr/bin/env bash
# Starts the demo gateway simulator on loopback, then the window; closing the window stops the
# simulator. Usage: tools/run.sh [build dir]
#
# The window's empty server box means the gateway at 127.0.0.1 with its portmapper on port 111,
# so the simulator goes where that finds it when it can:
#   - a system portmapper already answers on port 111: register with it (--register);
#   - port 111 is free and we are root: serve the portmapper on port 111 ourselves;
#   - otherwise: a free port, and the terminal says what to type into the server box.
set -euo pipefail

build=${1:-build}
gateway_bin="$build/gateway/siclquill-gateway"
window_bin="$build/app/siclquill"

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
    echo "Run it from a desktop session, or under a virtual display: xvfb-run -a make run" >&2
    exit 1
fi
for bin in "$gateway_bin" "$window_bin"; do
    if [[ ! -x "$bin" ]]; then
        echo "make run: $bin is missing; build first (make build)." >&2
        exit 1
    fi
done

# True when something accepts TCP connections on 127.0.0.1:111.
port111_taken() {
    (exec 3<>/dev/tcp/127.0.0.1/111) 2>/dev/null
}

# True when that something is a portmapper (rpcinfo comes with rpcbind).
portmapper_answers() {
    command -v rpcinfo >/dev/null && rpcinfo -p 127.0.0.1 >/dev/null 2>&1
}

gateway_pid=""
window_pid=""
stop_gateway() {
    if [[ -n "$gateway_pid" ]]; then
        kill "$gateway_pid" 2>/dev/null || true
        wait "$gateway_pid" 2>/dev/null || true
        gateway_pid=""
    fi
}
# Stopped from outside (Ctrl-C, kill): close the window we started too, then the simulator.
stop_all() {
    if [[ -n "$window_pid" ]]; then
        kill "$window_pid" 2>/dev/null || true
        wait "$window_pid" 2>/dev/null || true
        window_pid=""
    fi
    stop_gateway
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ready_line=""
# Starts the simulator with the given options and waits for its ready line (or its end).
# Leaves its pid in gateway_pid and the line in ready_line; fails if it did not come up.
start_gateway() {
    coproc GATEWAY { exec "$gateway_bin" --demo "$@"; }
    gateway_pid=$GATEWAY_PID
    ready_line=""
    # The simulator prints nothing else on standard output; an end of file means it gave up
    # (its reason is already on standard error).
    if ! IFS= read -r -t 30 ready_line <&"${GATEWAY[0]}" || [[ "$ready_line" != ready* ]]; then
        stop_gateway
        return 1
    fi
}

default_box=0
if port111_taken; then
    if portmapper_answers || ! command -v rpcinfo >/dev/null; then
        echo "Port 111 is in use (a system portmapper?): registering the simulator with it."
        if start_gateway --register; then
            default_box=1
        else
            echo "Registering failed; the simulator takes a free port instead."
        fi
    else
        echo "Port 111 is in use by something that is not a portmapper; using a free port."
    fi
elif [[ $(id -u) -eq 0 ]]; then
    if start_gateway --portmapper 111; then
        default_box=1
    else
        echo "Port 111 could not be used; the simulator takes a free port instead."
    fi
else
    echo "Port 111 needs root; the simulator takes a free port instead."
fi
if [[ -z "$gateway_pid" ]]; then
    start_gateway --portmapper 0 || {
        echo "make run: the gateway simulator did not start." >&2
        exit 1
    }
fi

# ready portmapper=HOST:PORT core=PORT abort=PORT
portmapper=${ready_line#ready portmapper=}
portmapper=${portmapper%% *}
echo "Gateway simulator running (pid $gateway_pid): $ready_line"
echo "Demo bench: counter/source at 3, switch unit at 5 (secondary 2, type 502), scope at 9, DMM at 22."
if [[ $default_box -eq 1 ]]; then
    echo ">>> In the window, leave the server box empty and click Create Link."
else
    echo ">>> In the window, type ${portmapper} into the server box and click Create Link."
fi
echo "Closing the window stops the simulator."

# In the background so that a signal to this script is handled at once, not after the window
# has closed.
"$window_bin" &
window_pid=$!
status=0
wait "$window_pid" || status=$?
window_pid=""
exit "$status"
