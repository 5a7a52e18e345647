#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and
# runs each for a while: scripts/fuzz.sh [SECONDS] (default 30 each).
#   fuzz_hex         the hex text rules of every typed field
#   fuzz_reply       reply assembly, verdict and every reply decoder
#   fuzz_sim_parser  the simulator's request parser
#   fuzz_card_files  the dump and key file readers
# A finding stops the run with the crashing input saved in build-fuzz/.
set -eu
cd "$(dirname "$0")/.."
# Compiler cache entries keyed by paths relative to the checkout, so that a
# fresh clone (as CI makes) reuses what an earlier build of the same sources
# compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
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
passed=0
failed=0
for t in $targets; do
    log="build-fuzz/$t.log"
    if (cd build-fuzz && "./tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 >"$t.log" 2>&1); then
        passed=$((passed + 1))
        echo "$t: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs in ${seconds} s, nothing found"
    else
        failed=$((failed + 1))
        echo "$t: FOUND A FAULT; its report:" >&2
        tail -n 40 "$log" >&2
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
