#!/usr/bin/env bash
# Builds the program and runs it on the bundled sample DEM, answering the
# dialogue: folder demo, DEM jacksboro, generic result name, bitmap, 255.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
cd examples
printf 'demo\njacksboro\n0\n1\n255\n' | ../build/tavelkorn
echo "image: examples/images/demo/jacksboro_tavelkorn.bmp"
echo "profile: examples/images/demo/jacksboro_tavelkorn.xls, report: examples/images/demo/jacksboro_tavelkorn_info.txt"
