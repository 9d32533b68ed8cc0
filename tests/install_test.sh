#!/usr/bin/env bash
# cmake --install puts the program and its man page in place; the options
# answer as documented, and GDAL's module is found from the installed program.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
bin=$prefix/bin/tavelkorn
[ -x "$bin" ] || { echo "no $bin"; exit 1; }
page=$prefix/share/man/man1/tavelkorn.1
man -l "$page" 2>&1 | grep -q "terrain roughness image" || { echo "man -l does not render $page"; exit 1; }

"$bin" --help > "$prefix/help"
grep -q "^Usage: tavelkorn \[OPTIONS\] \[INPUT\] \[OUTPUT\]" "$prefix/help"
[ "$("$bin" --version)" = "tavelkorn $("$bin" --version | cut -d' ' -f2)" ]
"$bin" --version | grep -Eq '^tavelkorn [0-9]+\.[0-9]+\.[0-9]+$'
set +e
"$bin" --bogus > "$prefix/out" 2> "$prefix/err"
status=$?
set -e
[ "$status" -eq 2 ] || { echo "--bogus: status $status"; exit 1; }
[ ! -s "$prefix/out" ] && grep -q "^tavelkorn: --bogus: unknown option" "$prefix/err"
if [ -e "$build/tavelkorn_gdal.so" ]; then
  "$bin" -q "$src/examples/jacksboro.tif" "$prefix/r.tif"
  [ -s "$prefix/r.tif" ]
fi
plugin=$prefix/share/tavelkorn/qgis/tavelkorn_processing
grep -q "hasProcessingProvider=yes" "$plugin/metadata.txt" || { echo "no QGIS plugin in $plugin"; exit 1; }
grep -qx "version=$("$bin" --version | cut -d' ' -f2)" "$plugin/metadata.txt" || { echo "the plugin's version"; exit 1; }
[ -x "$plugin/../../../../bin/tavelkorn" ] || { echo "the plugin cannot find the program from $plugin"; exit 1; }
# The engine keeps no state between computations: no writable data but the
# kernel choice.
lib=$prefix/lib/libtavelkorn_moteur.a
etat=$(nm -C --defined-only "$lib" | awk '$2 ~ /^[BbDd]$/ && $3 != "tavelkorn::avx2"' | grep -v -E 'typeinfo|vtable|guard variable|__(a|ub)san' || true)
[ -z "$etat" ] || { echo "writable data in $lib: $etat"; exit 1; }
# The engine's package: a client builds against the prefix alone.
[ -f "$prefix/include/tavelkorn/moteur.h" ] && [ -f "$prefix/lib/cmake/tavelkorn/tavelkornConfig.cmake" ]
flags=
grep -q '^TAVELKORN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" && flags=-fsanitize=address,undefined
cmake -S "$src/examples/client" -B "$prefix/client" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$prefix/client" >/dev/null
# docs/engine.md shows the client's code and CMake lines as they are.
bash "$src/tests/doc_block.sh" client-example "$src" | sed 's|  // scale 1.*||' | while IFS= read -r line; do
  grep -qxF "    $line" "$src/examples/client/client.cpp" || { echo "client-example line not in client.cpp: $line"; exit 1; }
done
bash "$src/tests/doc_block.sh" client-cmake "$src" | while IFS= read -r line; do
  grep -qxF "$line" "$src/examples/client/CMakeLists.txt" || { echo "client-cmake line not in CMakeLists.txt: $line"; exit 1; }
done
out=$("$prefix/client/client")
[ "$out" = "$(cat "$src/tests/client_expected.txt")" ] || { echo "client: $out"; exit 1; }
echo "install: ok"
