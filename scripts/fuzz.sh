#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and
# runs each for a while: scripts/fuzz.sh [SECONDS] (default 30 each), as
# many at once as there are cores.
#   fuzz_hex         the hex text rules of every typed field
#   fuzz_reply       reply assembly, verdict and every reply decoder
#   fuzz_sim_parser  the simulator's request parser
#   fuzz_card_files  the dump and key file readers
# A finding stops the run with the crashing input saved in build-fuzz/.
set -eu
cd "$(dirname "$0")/.."
. scripts/ccache-env.sh
sh scripts/deps.sh --fuzz
seconds="${1:-30}"
werror="${ORVELLE_WERROR:-}"
if [ -z "$werror" ]; then
    if [ "${CI:-}" = true ]; then werror=ON; else werror=OFF; fi
fi
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVELLE_FUZZ=ON -DORVELLE_BUILD_BENCH=OFF -DORVELLE_WERROR="$werror" >/dev/null
targets=$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
# shellcheck disable=SC2086
cmake --build build-fuzz -j "$(nproc)" --target $targets
# The targets run side by side, one a core, each for the whole SECONDS.
jobs=$(nproc)
passed=0
failed=0
run_one() { # run_one TARGET: its verdict in build-fuzz/TARGET.status
    status=0
    (cd build-fuzz && "./tests/fuzz/$1" -max_total_time="$seconds" -print_final_stats=1 >"$1.log" 2>&1) || status=$?
    echo "$status" >"build-fuzz/$1.status"
}
report() { # report TARGET
    log="build-fuzz/$1.log"
    if [ "$(cat "build-fuzz/$1.status")" -eq 0 ]; then
        passed=$((passed + 1))
        echo "$1: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs in ${seconds} s, nothing found"
    else
        failed=$((failed + 1))
        echo "$1: FOUND A FAULT; its report:" >&2
        tail -n 40 "$log" >&2
    fi
}
# shellcheck disable=SC2086
set -- $targets
while [ $# -gt 0 ]; do
    batch=""
    pids=""
    while [ $# -gt 0 ] && [ "$(echo "$batch" | wc -w)" -lt "$jobs" ]; do
        run_one "$1" &
        pids="$pids $!"
        batch="$batch $1"
        shift
    done
    for pid in $pids; do wait "$pid"; done
    for t in $batch; do report "$t"; done
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
