#!/usr/bin/env bash
# Checks the service as the package installs it: the unit lands where systemd looks for it,
# and systemd-analyze verify finds nothing to say about it, for a plain device name and for an
# escaped /dev/serial/by-id/ one. Run by ctest and by `make package`.
#
# Usage: tools/check-unit.sh BUILD_DIR GATEWAY_BINARY
# Exit status: 0 good, 1 a fault, 77 no systemd-analyze here (nothing verified).
set -euo pipefail

build=${1:?usage: tools/check-unit.sh BUILD_DIR GATEWAY_BINARY}
gateway=${2:?usage: tools/check-unit.sh BUILD_DIR GATEWAY_BINARY}
unit=siclquill-gateway@.service

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The package's files under /usr, as cpack installs them.
DESTDIR=$root cmake --install "$build" --component service --prefix /usr >/dev/null
installed=$root/usr/lib/systemd/system/$unit
[[ -f $installed ]] || { echo "check-unit: $unit is not installed in /usr/lib/systemd/system" >&2; exit 1; }

if ! command -v systemd-analyze >/dev/null || [[ ! -d /usr/lib/systemd/system ]]; then
    echo "check-unit: no systemd-analyze here; $unit installed but not verified"
    exit 77
fi
# verify resolves every unit the service pulls in and checks ExecStart's program, all under
# the root: this system's own units beside the package's (which they never replace), and the
# program where it goes.
cp -rnP /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
mkdir -p "$root/usr/bin"
cp "$gateway" "$root/usr/bin/siclquill-gateway"

by_id=$(systemd-escape --template "$unit" serial/by-id/usb-Arduino_Uno_85735313-if00)
status=0
for instance in siclquill-gateway@ttyUSB0.service "$by_id"; do
    # Unknown keys and bad values are only warned about: any word at all is a fault.
    said=$(systemd-analyze verify --man=no --root="$root" "$instance" 2>&1) || status=1
    if [[ -n $said || $status -ne 0 ]]; then
        echo "check-unit: systemd-analyze verify $instance:" >&2
        echo "$said" >&2
        exit 1
    fi
done
echo "check-unit: $unit installed and verified ($by_id)"
