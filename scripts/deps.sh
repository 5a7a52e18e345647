#!/bin/sh
# Installs the Debian packages Orvelle needs to build, test and run, when any
# of them is missing. Needs root (or sudo) only when something must be installed.
#   --with-display   also a virtual display (Xvfb)
#   --packaging      also what building, checking and installing the .deb needs
#   --fuzz           also clang and its libFuzzer runtime
#   --lint           also clang-format and clang-tidy
set -eu

# The ledger's SQL drivers are plugins Qt loads at run time (qt6-base-dev
# brings Qt6Sql's CMake files); postgresql is the server the ledger's tests
# start privately. Qt Charts' CMake files need Qt OpenGL's, which its package
# does not bring.
PACKAGES="cmake ninja-build g++ ccache pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev qt6-svg-dev libgtest-dev libgmock-dev libbenchmark-dev fonts-arphic-uming procps"
PACKAGES="$PACKAGES libqt6sql6-sqlite libqt6sql6-psql postgresql"
for option in "$@"; do
    case "$option" in
    --with-display) PACKAGES="$PACKAGES xvfb xauth" ;;
    --packaging) PACKAGES="$PACKAGES dpkg-dev file gzip man-db desktop-file-utils appstream lintian" ;;
    --fuzz) PACKAGES="$PACKAGES clang libclang-rt-dev" ;;
    --lint) PACKAGES="$PACKAGES clang-format clang-tidy python3" ;;
    *)
        echo "usage: scripts/deps.sh [--with-display] [--packaging] [--fuzz] [--lint]" >&2
        exit 2
        ;;
    esac
done

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
