#!/usr/bin/env bash
# Makes examples/jacksboro.tif, the sample DEM as a field GeoTIFF would come:
# Int16, latitude/longitude on a 3 arc-second grid (the placement is
# approximate, for illustration), and a nodata border (-32768) cutting off
# the south-west corner, as a country's border does. Needs gdal-bin.
set -euo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - examples/images/demo/jacksboro.raw "$tmp/dem.bil" <<'PY'
import struct, sys
rows, cols = 344, 403
z = struct.unpack("<%di" % (rows * cols), open(sys.argv[1], "rb").read())
out = [(-32768 if 3 * (rows - i) + j < 240 else v) for k, v in enumerate(z) for i, j in [divmod(k, cols)]]
open(sys.argv[2], "wb").write(struct.pack("<%dh" % len(out), *out))
PY
printf 'NROWS 344\nNCOLS 403\nNBITS 16\nPIXELTYPE SIGNEDINT\nBYTEORDER I\nNODATA -32768\n' > "$tmp/dem.hdr"
gdal_translate -q -a_srs EPSG:4326 -a_ullr -84.35 36.45 -84.01416666666667 36.16333333333333 \
  -co COMPRESS=DEFLATE "$tmp/dem.bil" examples/jacksboro.tif
