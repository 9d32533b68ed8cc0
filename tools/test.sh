#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite. Installs with apt-get what a fresh Debian machine
# lacks.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in cmake g++ make libgtest-dev libcli11-dev libgdal-dev gdal-bin imagemagick man-db python3; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTAVELKORN_TESTS=ON -DTAVELKORN_SANITIZE=ON >/dev/null
cmake --build build-test -j "$(nproc)"
(cd build-test && ctest --output-on-failure -j "$(nproc)")

# The threaded runs once more under ThreadSanitizer: any race fails them.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELKORN_TESTS=ON -DTAVELKORN_TSAN=ON \
  -DTAVELKORN_GDAL=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target program_tests tavelkorn tavelkorn_plain
cd build-tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
  ctest --output-on-failure -j "$(nproc)" -R '^(Streaming|Sample|Deviation|Dialogue)\.'
