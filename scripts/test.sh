#!/bin/sh
# Installs what is missing, builds and runs every test.
#   scripts/test.sh          the whole suite
#   scripts/test.sh asan     the whole suite under AddressSanitizer + UBSan
#   scripts/test.sh tsan     the tests of the threaded layers (serial, link,
#                            reader, session) under ThreadSanitizer
# Warnings are errors when ORVELLE_WERROR=ON (CI's default, see scripts/build.sh).
# The tests run as many at once as there are cores: most of their time is
# spent waiting on the line, and each has its own terminal, files and server.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh

mode="${1:-plain}"
# The sanitizer builds are optimised at -O1, as the sanitizers' own examples
# are: the same checks, in about half the compile time of -O2 (the plain
# build keeps -O2 and its warnings). Only what the run tests is built.
sanitizer_flags="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
case "$mode" in
plain)
    sh scripts/build.sh build
    ctest --test-dir build -j "$(nproc)" --output-on-failure --timeout 900
    ;;
asan)
    sh scripts/build.sh build-asan -DORVELLE_SANITIZE=address,undefined -DORVELLE_BUILD_BENCH=OFF "$sanitizer_flags" \
        --target orvelle_tests
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan -j "$(nproc)" --output-on-failure --timeout 1800
    ;;
tsan)
    # Only the test programs of the labels it runs.
    labels="serial link reader session"
    # shellcheck disable=SC2046
    sh scripts/build.sh build-tsan -DORVELLE_SANITIZE=thread -DORVELLE_BUILD_BENCH=OFF "$sanitizer_flags" \
        $(for label in $labels; do echo "--target orvelle_tests_$label"; done)
    # Qt's libraries are not built with the sanitizer, so the locks of Qt's
    # own thread pool (images converted while a window paints) are invisible
    # to it and their hand-offs would read as races. Calls from such
    # libraries into the sanitizer's interceptors are therefore not checked;
    # every access of our own code still is.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1" \
        ctest --test-dir build-tsan -j "$(nproc)" -L "$(echo "$labels" | tr ' ' '|')" --output-on-failure --timeout 1800
    ;;
*)
    echo "usage: scripts/test.sh [plain|asan|tsan]" >&2
    exit 2
    ;;
esac
