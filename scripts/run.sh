#!/bin/sh
# Installs what is missing, builds, starts the reader simulator on COM1 and
# runs Orvelle against it. The simulator stops when Orvelle's window closes.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Orvelle is a desktop program and no display was found (DISPLAY is not set)." >&2
    echo "Run this from a desktop session, or with a virtual display:" >&2
    echo "    apt-get install -y xvfb xauth && xvfb-run -a sh scripts/run.sh" >&2
    exit 1
fi

sh scripts/build.sh build -DORVELLE_BUILD_TESTS=OFF -DORVELLE_BUILD_BENCH=OFF

ports="${XDG_CONFIG_HOME:-$HOME/.config}/orvelle/ports"
log="build/orvelle-sim.log"
./build/orvelle-sim --port COM1 >"$log" 2>&1 </dev/null &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT INT TERM

# Wait for the simulator to link its pseudo-terminal as COM1.
i=0
while [ ! -e "$ports/COM1" ]; do
    i=$((i + 1))
    if [ "$i" -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then
        echo "The reader simulator did not start; its output:" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "Reader simulator on COM1 ($(readlink "$ports/COM1")); its frames are logged in $log"

./build/orvelle
