#!/usr/bin/env bash
# Regenerates the README's pictures from the bundled sample DEM:
# docs/jacksboro_roughness.png (the BMP result) and docs/jacksboro_profile.svg
# (its profile table). Needs ImageMagick (Debian package imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/sample.sh >/dev/null
convert=$(command -v convert-im6.q16 || command -v magick || echo convert)
"$convert" examples/images/demo/jacksboro_tavelkorn.bmp docs/jacksboro_roughness.png
python3 tools/profile_svg.py examples/images/demo/jacksboro_tavelkorn.xls docs/jacksboro_profile.svg
