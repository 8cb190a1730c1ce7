#!/usr/bin/env bash
# Starts the demo gateway simulator and the window; closing the window stops the simulator.
set -euo pipefail
build=${1:-build}
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
    echo "Run it from a desktop session, or under a virtual display: xvfb-run -a make run" >&2
    exit 1
fi
exec "$build/app/siclquill"
