#!/bin/sh
# Pictures for docs/: the card window with a card read and compared with a
# dump one byte apart, at 1x and 2x, in a light and a dark palette; and the
# main window on its "Card" page after a read (docs/screenshot.png); the
# shift report's charts of a sample shift (docs/images/report.png), the line
# window over it, and the ports window after a probe. Each is
# taken on Qt's offscreen platform with a 1920x1080 screen, the window sized
# as the program sizes it there. Run after a build:
# scripts/card-shots.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"
tool="$build/tests/shot_card_window"
[ -x "$tool" ] || { echo "card-shots: $tool is not built" >&2; exit 1; }
screen=$(mktemp --suffix=.json)
trap 'rm -f "$screen"' EXIT
cat >"$screen" <<'JSON'
{ "screens": [ { "name": "shot", "x": 0, "y": 0, "width": 1920, "height": 1080, "logicalDpi": 96, "dpr": 1 } ] }
JSON
for scale in 1 2; do
    for look in light dark; do
        name=card-window
        [ "$look" = dark ] && name=card-window-dark
        QT_QPA_PLATFORM="offscreen:configfile=$screen" QT_SCALE_FACTOR=$scale \
            ORVELLE_SHOT_DARK=$([ "$look" = dark ] && echo 1 || echo 0) \
            ORVELLE_SHOT="docs/$name-${scale}x.png" "$tool" --gtest_filter='CardWindowShot.*' --gtest_brief=1 >/dev/null
        echo "docs/$name-${scale}x.png"
    done
done
QT_QPA_PLATFORM="offscreen:configfile=$screen" ORVELLE_SHOT=docs/screenshot.png \
    "$tool" --gtest_filter='MainWindowShot.*' --gtest_brief=1 >/dev/null
echo docs/screenshot.png
mkdir -p docs/images
QT_QPA_PLATFORM="offscreen:configfile=$screen" ORVELLE_SHOT=docs/images/report.png \
    "$tool" --gtest_filter='ReportShot.*' --gtest_brief=1 >/dev/null
echo docs/images/report.png
QT_QPA_PLATFORM="offscreen:configfile=$screen" ORVELLE_SHOT=docs/images/line-window.png \
    "$tool" --gtest_filter='LineShot.*' --gtest_brief=1 >/dev/null
echo docs/images/line-window.png
QT_QPA_PLATFORM="offscreen:configfile=$screen" ORVELLE_SHOT=docs/images/ports-window.png \
    "$tool" --gtest_filter='PortsShot.*' --gtest_brief=1 >/dev/null
echo docs/images/ports-window.png
