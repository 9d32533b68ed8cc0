#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite; then the threaded tests under ThreadSanitizer;
# then the Windows program, cross-built with mingw-w64: its portable tests
# and its byte identity with the Linux program, under wine; the Python
# package from the build tree and as pip's wheel; the QGIS plugin, headless;
# the Debian package. Installs with apt-get what a fresh Debian machine lacks.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/packages.sh
install_missing cmake g++ make libgtest-dev libcli11-dev libgdal-dev gdal-bin python3-gdal python3-numpy imagemagick man-db python3
install_missing python3-dev pybind11-dev python3-xarray python3-rioxarray python3-dask python3-distributed python3-pytest \
  python3-venv dpkg-dev file
install_missing --no-install-recommends g++-mingw-w64-x86-64-posix wine wine64
install_missing --no-install-recommends qgis python3-qgis qgis-providers

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTAVELKORN_TESTS=ON -DTAVELKORN_SANITIZE=ON >/dev/null
cmake --build build-test -j "$(nproc)"
(cd build-test && ctest --output-on-failure -j "$(nproc)")

# The threaded runs once more under ThreadSanitizer: any race fails them.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELKORN_TESTS=ON -DTAVELKORN_TSAN=ON \
  -DTAVELKORN_GDAL=OFF >/dev/null
cmake --build build-tsan -j "$(nproc)" --target program_tests engine_tests tavelkorn tavelkorn_plain
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
  ctest --output-on-failure -j "$(nproc)" -R '^(Streaming|Sample|Deviation|Dialogue|Engine)\.')

# Windows. Wine gets a prefix of its own in the build folder, and its server
# and services are started once before the tests and stopped after: started
# by the first test instead, they would hold ctest's output open.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DTAVELKORN_TESTS=ON -DTAVELKORN_WERROR=ON >/dev/null
cmake --build build-win -j "$(nproc)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tavelkorn tavelkorn_gdal _moteur

# The Python package (numpy, xarray, Dask, a local cluster) against the
# release program: from the build tree with Debian's Python, then as pip
# installs it, its wheel in fresh venvs with numpy 2 and numpy 1.x.
bash tests/python/run.sh build
bash tests/wheel_test.sh "$PWD" "$PWD/build" "$PWD/build-wheel"

# The QGIS plugin, headless, on the release program; its zip for QGIS's
# Install from ZIP (the program comes from the Debian package or a build).
bash tests/qgis_test.sh "$PWD/build/tavelkorn" "$PWD"
version=$(build/tavelkorn --version | cut -d' ' -f2)
bash tools/pack_plugin.sh "build/tavelkorn_processing-$version.zip" >/dev/null
bash tests/plugin_zip_test.sh "build/tavelkorn_processing-$version.zip" "$version" "$PWD" "$PWD/build/tavelkorn"

# The Debian package, made with Debian's own CMake (everything else here is
# built with the cmake first on the PATH): installed, run and removed.
/usr/bin/cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DTAVELKORN_PYTHON=OFF >/dev/null
/usr/bin/cmake --build build-deb -j "$(nproc)"
rm -f build-deb/tavelkorn_*.deb && (cd build-deb && /usr/bin/cpack -G DEB >/dev/null)
bash tests/deb_test.sh build-deb/tavelkorn_*.deb "$PWD/build" "$PWD"
export WINEPREFIX=$PWD/build-win/wine WINEDEBUG=-all
mkdir -p "$WINEPREFIX"  # wine makes an empty folder its prefix
wineserver -p
trap 'wineserver -k || true' EXIT
wine cmd /c exit >/dev/null 2>&1 </dev/null
(cd build-win && ctest --output-on-failure)
bash tests/wine_identity.sh "$PWD/build/tavelkorn" "$PWD/build-win/tavelkorn.exe" "$PWD/examples/images/demo"
(cd build-win && cpack >/dev/null)
python3 -c "import sys, zipfile; names = zipfile.ZipFile(sys.argv[1]).namelist(); \
  assert all(any(n.endswith(f) for n in names) for f in ('tavelkorn.exe', 'README.md', 'tavelkorn.txt', \
  'tavelkorn_processing.zip', 'docs/computation.md', 'docs/jacksboro_roughness.png')), names" \
  build-win/tavelkorn-*-win64.zip
rm -rf build-win/release && python3 -m zipfile -e build-win/tavelkorn-*-win64.zip build-win/release
bash tests/plugin_zip_test.sh build-win/release/*/tavelkorn_processing.zip "$version" "$PWD"
echo "windows release: $(ls build-win/tavelkorn-*-win64.zip)"
