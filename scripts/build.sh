#!/bin/sh
# Configures and builds one build directory:
#   scripts/build.sh DIR [cmake options...] [--target TARGET]...
# with no --target, everything. ORVELLE_WERROR=ON in the environment turns
# warnings into errors; CI (CI=true) has it on unless ORVELLE_WERROR says
# otherwise.
set -eu
cd "$(dirname "$0")/.."
. scripts/ccache-env.sh
dir="$1"
shift
# The --target pairs go to the build, the rest to the configure.
count=$#
targets=""
next_is_target=no
for arg in "$@"; do
    if [ "$next_is_target" = yes ]; then
        targets="$targets --target $arg"
        next_is_target=no
    elif [ "$arg" = --target ]; then
        next_is_target=yes
    else
        set -- "$@" "$arg"
    fi
done
shift "$count"
werror="${ORVELLE_WERROR:-}"
if [ -z "$werror" ]; then
    if [ "${CI:-}" = true ]; then werror=ON; else werror=OFF; fi
fi
# Line tables only (-g1) unless an option says otherwise: enough for the
# sanitizers' and a crash's backtraces, at about half the compile and link
# time of full debug information.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    -DORVELLE_WERROR="$werror" "$@" >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" -j "$(nproc)" $targets
