#!/bin/sh
# Checks what a review should not have to: the formatting (.clang-format),
# the layering (docs/ARCHITECTURE.md: each layer includes only its own headers
# and those of the layers below it), the shape (no circles inside a folder,
# no file over 600 lines), and that every source file is named in
# the CMakeLists.txt of its folder (sources are listed, not globbed, so a
# file left out would silently not be built, or a test not run).
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh --lint

failed=0
files=$(git ls-files '*.cpp' '*.h')
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files 2>/tmp/orvelle-format.$$; then
    echo "lint: these lines are not formatted as .clang-format says (clang-format -i FILE mends them):" >&2
    grep -E '^[^ ].*: (error|warning):' /tmp/orvelle-format.$$ | head -n 40 >&2
    failed=$((failed + 1))
fi
rm -f /tmp/orvelle-format.$$

# Folder -> the folders whose headers it may include.
allowed() {
    case "$1" in
    protocol) echo "protocol" ;;
    serial) echo "serial protocol/Commands protocol/Frame" ;;
    reader) echo "reader protocol serial" ;;
    session) echo "session reader protocol serial" ;;
    records) echo "records session reader protocol serial charts/ChartSeries" ;;
    widgets) echo "widgets" ;;
    charts) echo "charts" ;;
    app) echo "app records session reader protocol serial widgets charts" ;;
    cardtool) echo "cardtool records session reader protocol serial charts" ;;
    sim) echo "sim protocol serial/PortName" ;;
    esac
}
for layer in protocol serial reader session records widgets charts app cardtool sim; do
    ok=$(allowed "$layer")
    for f in $(git ls-files "$layer/*.cpp" "$layer/*.h"); do
        grep -oE '^#include "[^"]+"' "$f" | sed 's/^#include "//; s/"$//' | while read -r inc; do
            good=no
            for a in $ok; do
                case "$inc" in "$a"/* | "$a".h) good=yes ;; esac
            done
            [ "$good" = yes ] || echo "$f includes $inc"
        done
    done
done >/tmp/orvelle-layers.$$
# Only widgets/ and app/ may show a window: every other layer is Qt Core at
# most. Rejected: each header the installed Qt Widgets and Qt Gui modules
# have (QLabel, qlabel.h, QtWidgets), by name or as <QtWidgets/...>. A list
# that cannot be read is a failure, never a silent pass.
qt_headers=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || true)
[ -d "$qt_headers/QtWidgets" ] || qt_headers=$(pkg-config --variable=includedir Qt6Widgets 2>/dev/null || true)
: >/tmp/orvelle-window-headers.$$
for module in QtWidgets QtGui; do
    if [ -z "$qt_headers" ] || [ ! -f "$qt_headers/$module/$module" ]; then
        echo "$module: its headers were not found (qmake6 -query QT_INSTALL_HEADERS or pkg-config Qt6Widgets said '$qt_headers'), so no layer was checked for them; install qt6-base-dev" >>/tmp/orvelle-layers.$$
        continue
    fi
    find "$qt_headers/$module" -maxdepth 1 -type f -printf '%f\n' >>/tmp/orvelle-window-headers.$$
done
for f in $(git ls-files 'protocol/*.cpp' 'protocol/*.h' 'serial/*.cpp' 'serial/*.h' 'reader/*.cpp' 'reader/*.h' \
    'session/*.cpp' 'session/*.h' 'records/*.cpp' 'records/*.h' 'cardtool/*.cpp' 'cardtool/*.h' 'sim/*.cpp' 'sim/*.h'); do
    sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/p' "$f" | while read -r inc; do
        case "$inc" in
        QtWidgets/* | QtGui/*) echo "$f: includes a window header: $inc" ;;
        *) if grep -qxF "$inc" /tmp/orvelle-window-headers.$$; then echo "$f: includes a window header: $inc"; fi ;;
        esac
    done
done >>/tmp/orvelle-layers.$$
rm -f /tmp/orvelle-window-headers.$$
if [ -s /tmp/orvelle-layers.$$ ]; then
    echo "lint: includes that run against the layering:" >&2
    cat /tmp/orvelle-layers.$$ >&2
    failed=$((failed + 1))
fi
rm -f /tmp/orvelle-layers.$$

# Inside a folder no files include each other in a circle (a header with
# its source is one unit), and no product file outgrows 600 lines: either
# means one file has taken on another's purpose.
if ! python3 scripts/measure.py --check >/tmp/orvelle-shape.$$; then
    echo "lint: a circle of includes or a file over its limit (split it by purpose):" >&2
    cat /tmp/orvelle-shape.$$ >&2
    failed=$((failed + 1))
fi
rm -f /tmp/orvelle-shape.$$

# Each .cpp and .h must appear in the nearest CMakeLists.txt above it, by its
# path from there, with or without the extension (tests and benchmarks are
# listed by program name).
for f in $(git ls-files --cached --others --exclude-standard '*.cpp' '*.h'); do
    dir=$(dirname "$f")
    while [ "$dir" != . ] && [ ! -f "$dir/CMakeLists.txt" ]; do
        dir=$(dirname "$dir")
    done
    rel=${f#"$dir"/}
    stem=${rel%.*}
    grep -qE "(^|[[:space:](/])($rel|$stem)([[:space:])]|$)" "$dir/CMakeLists.txt" ||
        echo "$f is not listed in $dir/CMakeLists.txt"
done >/tmp/orvelle-listed.$$
if [ -s /tmp/orvelle-listed.$$ ]; then
    echo "lint: source files no CMakeLists.txt names (add one line there):" >&2
    cat /tmp/orvelle-listed.$$ >&2
    failed=$((failed + 1))
fi
rm -f /tmp/orvelle-listed.$$

if [ "$failed" -eq 0 ]; then
    echo "lint: 4 passed, 0 failed"
else
    echo "lint: $((4 - failed)) passed, $failed failed"
    exit 1
fi
