#!/usr/bin/env bash
# Renders the PNG sizes of the icon from dbvandrel.svg (librsvg2-bin); the PNGs are kept in the repository.
set -euo pipefail
cd "$(dirname "$0")"
command -v rsvg-convert >/dev/null || { echo "render.sh needs rsvg-convert (apt-get install librsvg2-bin)" >&2; exit 2; }
for size in 16 24 32 48 64 128 256; do
    mkdir -p "hicolor/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" dbvandrel.svg -o "hicolor/${size}x${size}/dbvandrel.png"
done
