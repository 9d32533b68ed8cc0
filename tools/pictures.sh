#!/usr/bin/env bash
# Regenerates the pictures of the README and docs/ from the bundled sample DEM:
# docs/jacksboro_roughness.png (the BMP result) and docs/jacksboro_profile.svg
# (its profile table), and docs/jacksboro_overlay.png (the command line's
# result on examples/jacksboro.tif over a hillshade of it), and
# docs/jacksboro_stretches.png (the GeoTIFF four ways: classic half, classic
# p99, curvature p99, gdaldem roughness), and docs/jacksboro_directions.png
# (curvature p99 along rows, down columns, both), and
# docs/jacksboro_scales.png (curvature p99 both ways at scales 1, 4 and 16,
# three bands of one run). Needs ImageMagick and gdal-bin.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/sample.sh >/dev/null
convert=$(command -v convert-im6.q16 || command -v magick || echo convert)
png="-define png:exclude-chunks=date,time"  # the same picture gives the same bytes
"$convert" examples/images/demo/jacksboro_tavelkorn.bmp $png docs/jacksboro_roughness.png
python3 tools/profile_svg.py examples/images/demo/jacksboro_tavelkorn.xls docs/jacksboro_profile.svg
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
build/tavelkorn -q examples/jacksboro.tif "$tmp/rough.tif"
gdaldem hillshade -q -s 111120 examples/jacksboro.tif "$tmp/hs.tif"
# the roughness as the opacity of an orange layer; the nodata corner light blue
"$convert" -quiet "$tmp/hs.tif[0]" -fill '#d8e4ef' -opaque black \
  \( -size 403x344 xc:'#ff4000' \( "$tmp/rough.tif[0]" -level 0,70% \) -alpha off -compose CopyOpacity -composite \) \
  -compose over -composite $png docs/jacksboro_overlay.png
# four panels side by side, each labelled
for way in "classic half" "classic p99" "curvature p99"; do
  set -- $way
  build/tavelkorn -q --term "$1" --stretch "$2" examples/jacksboro.tif "$tmp/$1_$2.tif"
done
gdaldem roughness -q examples/jacksboro.tif "$tmp/gr.tif"
gdal_translate -q -ot Byte -scale "$tmp/gr.tif" "$tmp/gr8.tif"
panels=()
for p in "classic_half:classic, half" "classic_p99:classic, p99" "curvature_p99:curvature, p99" "gr8:gdaldem roughness"; do
  "$convert" -quiet "$tmp/${p%%:*}.tif[0]" -background white -gravity north -splice 0x22 -pointsize 16 \
    -annotate +0+2 "${p#*:}" "$tmp/${p%%:*}.png"
  panels+=("$tmp/${p%%:*}.png")
done
"$convert" "${panels[@]}" -bordercolor white -border 4 +append $png docs/jacksboro_stretches.png
# the three directions side by side
panels=()
for d in rows columns both; do
  build/tavelkorn -q --term curvature --stretch p99 --direction $d examples/jacksboro.tif "$tmp/$d.tif"
  "$convert" -quiet "$tmp/$d.tif[0]" -background white -gravity north -splice 0x22 -pointsize 16 \
    -annotate +0+2 "$d" "$tmp/$d.png"
  panels+=("$tmp/$d.png")
done
"$convert" "${panels[@]}" -bordercolor white -border 4 +append $png docs/jacksboro_directions.png
# three scales of one run, a band each, side by side
build/tavelkorn -q --term curvature --stretch p99 --direction both --scale 1,4,16 examples/jacksboro.tif "$tmp/s.tif"
panels=()
for b in 1 2 3; do
  k=$(echo "1 4 16" | cut -d' ' -f$b)
  gdal_translate -q -b $b "$tmp/s.tif" "$tmp/s$b.tif"
  "$convert" -quiet "$tmp/s$b.tif[0]" -background white -gravity north -splice 0x22 -pointsize 16 \
    -annotate +0+2 "scale $k" "$tmp/s$b.png"
  panels+=("$tmp/s$b.png")
done
"$convert" "${panels[@]}" -bordercolor white -border 4 +append $png docs/jacksboro_scales.png
