#!/bin/sh
# Runs clang-tidy (checks in .clang-tidy, every finding an error) over the
# program's sources with the compile commands of the build folder:
#   scripts/tidy.sh [BUILD_DIR]     (default build; built first if need be)
# CI runs it beside the plain tests, on their build, with every core.
#
# A source whose whole input is unchanged since it last passed (the same
# clang-tidy, .clang-tidy and compile command, and the same text after the
# preprocessor, every header included) is not checked again: its pass is
# kept in ${XDG_CACHE_HOME:-~/.cache}/orvelle/tidy, as ccache keeps objects.
# ORVELLE_TIDY_CACHE=off checks every source.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh --lint
dir="${1:-build}"
[ -f "$dir/compile_commands.json" ] || sh scripts/build.sh "$dir"
files=$(git ls-files 'protocol/*.cpp' 'serial/*.cpp' 'reader/*.cpp' 'session/*.cpp' 'records/*.cpp' 'widgets/*.cpp' \
    'charts/*.cpp' 'app/*.cpp' 'cardtool/*.cpp' 'sim/*.cpp')
count=$(echo "$files" | wc -w)

# The build's commands, without its precompiled headers, go to $dir/tidy.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/orvelle/tidy"
mkdir -p "$dir/tidy"
keys="$dir/tidy/keys"
todo="$files"
if [ "${ORVELLE_TIDY_CACHE:-on}" = off ]; then
    python3 scripts/tidy-prepare.py "$dir" "$(pwd)"
    : >"$keys"
else
    # shellcheck disable=SC2086
    python3 scripts/tidy-prepare.py "$dir" "$(pwd)" --keys $files >"$keys.new"
    mv "$keys.new" "$keys"
    mkdir -p "$cache"
    # Entries not used for a month go.
    find "$cache" -type f -atime +30 -delete 2>/dev/null || true
    todo=""
    for f in $files; do
        key=$(awk -v f="$f" '$2 == f { print $1 }' "$keys")
        if [ -n "$key" ] && [ -e "$cache/$key" ]; then
            touch -a "$cache/$key"
        else
            todo="$todo $f"
        fi
    done
fi
checked=$(echo "$todo" | wc -w)
if [ "$checked" -eq 0 ]; then
    echo "tidy: $count passed, 0 failed (all $count unchanged since they passed)"
    exit 0
fi
# shellcheck disable=SC2086
if run-clang-tidy -quiet -j "$(nproc)" -p "$dir/tidy" $todo >"$dir/tidy.log" 2>&1; then
    for f in $todo; do
        key=$(awk -v f="$f" '$2 == f { print $1 }' "$keys")
        [ -z "$key" ] || : >"$cache/$key"
    done
    echo "tidy: $count passed, 0 failed ($checked checked, $((count - checked)) unchanged since they passed)"
else
    grep -E '(warning|error): ' "$dir/tidy.log" | sort -u >&2 || cat "$dir/tidy.log" >&2
    echo "tidy: findings in $(grep -E '(warning|error): ' "$dir/tidy.log" | cut -d: -f1 | sort -u | wc -l) files"
    exit 1
fi
