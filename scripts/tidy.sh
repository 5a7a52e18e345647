#!/bin/sh
# Runs clang-tidy (checks in .clang-tidy, every finding an error) over the
# program's sources with the compile commands of the build folder:
#   scripts/tidy.sh [BUILD_DIR]     (default build; built first if need be)
# CI runs it after the plain tests, on their build.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh --lint
dir="${1:-build}"
[ -f "$dir/compile_commands.json" ] || sh scripts/build.sh "$dir"
files=$(git ls-files 'protocol/*.cpp' 'serial/*.cpp' 'reader/*.cpp' 'session/*.cpp' 'records/*.cpp' 'widgets/*.cpp' \
    'app/*.cpp' 'cardtool/*.cpp' 'sim/*.cpp')
count=$(echo "$files" | wc -w)
# shellcheck disable=SC2086
if run-clang-tidy -quiet -j "$(nproc)" -p "$dir" $files >"$dir/tidy.log" 2>&1; then
    echo "tidy: $count passed, 0 failed"
else
    grep -E '(warning|error): ' "$dir/tidy.log" | sort -u >&2 || cat "$dir/tidy.log" >&2
    echo "tidy: findings in $(grep -E '(warning|error): ' "$dir/tidy.log" | cut -d: -f1 | sort -u | wc -l) files"
    exit 1
fi
