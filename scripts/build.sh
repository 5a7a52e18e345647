#!/bin/sh
# Configures and builds one build directory: scripts/build.sh DIR [cmake options...]
# ORVELLE_WERROR=ON in the environment turns warnings into errors; CI (CI=true)
# has it on unless ORVELLE_WERROR says otherwise.
set -eu
cd "$(dirname "$0")/.."
# Compiler cache entries keyed by paths relative to the checkout, so that a
# fresh clone (as CI makes) reuses what an earlier build of the same sources
# compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
dir="$1"
shift
werror="${ORVELLE_WERROR:-}"
if [ -z "$werror" ]; then
    if [ "${CI:-}" = true ]; then werror=ON; else werror=OFF; fi
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELLE_WERROR="$werror" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
