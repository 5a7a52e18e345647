#!/bin/sh
# Configures and builds one build directory: scripts/build.sh DIR [cmake options...]
set -eu
cd "$(dirname "$0")/.."
dir="$1"
shift
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
