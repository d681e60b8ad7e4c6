#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG into the hicolor tree under
# dist/icons. Run after changing the SVG and commit the PNGs (the build does not need
# an SVG renderer). Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../dist/icons/hicolor"
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" scalable/apps/sentrel.svg -o "${size}x${size}/apps/sentrel.png"
done
