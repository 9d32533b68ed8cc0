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
[ -x "$plugin/../../../../bin/tavelkorn" ] || { echo "the plugin cannot find the program from $plugin"; exit 1; }
echo "install: ok"
