#!/bin/sh
# Runs clang-tidy (checks in .clang-tidy) over the program's sources with the
# compile commands of the build folder: scripts/tidy.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh --lint
dir="${1:-build}"
[ -f "$dir/compile_commands.json" ] || sh scripts/build.sh "$dir"
files=$(git ls-files 'protocol/*.cpp' 'serial/*.cpp' 'reader/*.cpp' 'widgets/*.cpp' 'app/*.cpp' 'sim/*.cpp')
# shellcheck disable=SC2086
run-clang-tidy -quiet -p "$dir" $files
