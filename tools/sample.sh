#!/usr/bin/env bash
# Builds the program and runs it on the bundled sample DEM, answering the
# dialogue: folder demo, DEM jacksboro, generic result name, bitmap, 255.
# First installs with apt-get what the build needs and lacks: a compiler,
# CMake (unless one is on the PATH) and CLI11, and GDAL for the command
# line's formats; without GDAL the program keeps the dialogue and the .raw
# and .bmp formats.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
command -v cmake >/dev/null || install_missing cmake || true
install_missing g++ make libcli11-dev || echo "sample.sh: building with what is there" >&2
install_missing libgdal-dev || echo "sample.sh: no GDAL: the command line will read and write .raw and .bmp only" >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
cd examples
printf 'demo\njacksboro\n0\n1\n255\n' | ../build/tavelkorn
echo "image: examples/images/demo/jacksboro_tavelkorn.bmp"
echo "profile: examples/images/demo/jacksboro_tavelkorn.xls, report: examples/images/demo/jacksboro_tavelkorn_info.txt"
