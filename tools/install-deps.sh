#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, and only those that
# are missing, so that a machine that has them pays nothing.
# Usage: tools/install-deps.sh [build|run|test|bench|fuzz|package|format]...
set -euo pipefail

# The default build configures the tests as well, so every job needs GoogleTest and GoogleMock.
# The command line and the trace build with CLI11, readline and nlohmann-json.
base=(g++ cmake ninja-build make qt6-base-dev libxkbcommon-dev fonts-dejavu-core libgtest-dev libgmock-dev
    libcli11-dev libreadline-dev nlohmann-json3-dev)
want=("${base[@]}")
for job in "${@:-build}"; do
    case "$job" in
        build) ;;
        run) want+=(xvfb xauth) ;;
        test) want+=(libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth python3-pyvisa-py tshark
            lxi-tools) ;;
        bench) want+=(libbenchmark-dev xvfb xauth hyperfine python3-pyvisa-py) ;;
        fuzz) want+=(clang-14 libclang-rt-14-dev) ;;
        package) want+=(dpkg-dev file lintian) ;;
        format) want+=(clang-format) ;;
        *) echo "install-deps: unknown job '$job'" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in "${want[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null; then
        sudo=(sudo)
    else
        echo "install-deps: not root and no sudo; install these packages: ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
