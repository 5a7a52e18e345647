#!/bin/sh
# Builds the Debian package: a release build of its own (build-release, no
# tests or benchmarks) with Debian's compiler and linker flags, packed by
# CPack into dist/orvelle_<version>_<arch>.deb.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh --packaging

# The hardening flags every Debian package is built with (dpkg-buildflags).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# No precompiled headers: each source is built on its own includes, as any
# other build of the package would.
sh scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release \
    -DORVELLE_BUILD_TESTS=OFF -DORVELLE_BUILD_BENCH=OFF -DORVELLE_PCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"

rm -f build-release/cpack/*.deb
(cd build-release && cpack --config CPackConfig.cmake -B cpack >cpack.log 2>&1) || {
    cat build-release/cpack.log >&2
    exit 1
}
mkdir -p dist
for deb in build-release/cpack/*.deb; do
    cp "$deb" dist/
    echo "dist/$(basename "$deb")"
done
