#!/bin/sh
# Renders the PNG sizes of the icon from its SVG (Debian package librsvg2-bin).
# The PNGs are kept in the repository so a build needs no renderer; run this
# after changing the SVG.
set -eu
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}"
    rsvg-convert -w "$size" -h "$size" org.orvelle.Orvelle.svg -o "${size}x${size}/org.orvelle.Orvelle.png"
done
