#!/usr/bin/env bash
# The Debian package as a user installs it: `apt-get install ./DEB` brings
# what it declares; the installed program answers --version, has its man
# page, runs the sample through the dialogue and a GeoTIFF through the
# command line with the bytes of the build's program; QGIS finds the plugin
# among its own and runs it; a C++ client finds the engine; then `dpkg -r`
# leaves no file of the package behind (Python's caches of the plugin
# included). Skipped, saying why, where a tavelkorn is already installed,
# packaged or by hand, so as never to touch it; one run at a time on a
# machine. usage: deb_test.sh DEB BUILD_DIR SOURCE_DIR
set -euo pipefail
deb=$(realpath "$1") build=$(realpath "$2") src=$(realpath "$3")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "deb: $*" >&2; exit 1; }
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)

exec 9> /tmp/tavelkorn-deb-test.lock
flock 9
case $(dpkg-query -W -f='${db:Status-Status}' tavelkorn 2>/dev/null || true) in
  "" | not-installed | config-files) ;;
  *) echo "deb: skipped: a tavelkorn package is installed here, not this run's to remove"; exit 0 ;;
esac
# Every path of the package that exists now (the shared folders) must exist
# after its removal, and no other; a file of it already there was put by hand.
dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | sed 's|/$||' > "$tmp/paths"
: > "$tmp/before"
while read -r p; do
  if [ -e "$p" ] || [ -L "$p" ]; then
    [ -d "$p" ] && [ ! -L "$p" ] || { echo "deb: skipped: $p is already there, not this run's to replace"; exit 0; }
    echo "$p" >> "$tmp/before"
  fi
done < "$tmp/paths"

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$deb" \
  > "$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get install $deb"; }
removed=
remove() { [ -n "$removed" ] || "${sudo[@]}" dpkg -r tavelkorn > /dev/null; removed=1; }
trap 'remove; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM HUP  # the package is removed on these too
dpkg -L tavelkorn | grep -vx '/\.' > "$tmp/listed"
prog=/usr/bin/tavelkorn  # by its path: another tavelkorn may come first on the PATH

[ "$($prog --version)" = "$("$build/tavelkorn" --version)" ] || fail "--version: $($prog --version)"
[ "$(man -w tavelkorn)" = /usr/share/man/man1/tavelkorn.1 ] || fail "man page: $(man -w tavelkorn)"
for who in installed build; do
  mkdir -p "$tmp/$who/images/demo"
  cp "$src/examples/images/demo/jacksboro.raw" "$src/examples/images/demo/jacksboro.txt" "$tmp/$who/images/demo/"
done
(cd "$tmp/installed" && printf 'demo\njacksboro\n0\n1\n255\n' | $prog > dialogue.out)
(cd "$tmp/build" && printf 'demo\njacksboro\n0\n1\n255\n' | "$build/tavelkorn" > dialogue.out)
for f in dialogue.out images/demo/jacksboro_tavelkorn.bmp images/demo/jacksboro_tavelkorn.xls \
         images/demo/jacksboro_tavelkorn_info.txt; do
  cmp -s "$tmp/installed/$f" "$tmp/build/$f" || fail "the sample: $f differs from the build's"
done
$prog -q --term curvature --stretch p99 "$src/examples/jacksboro.tif" "$tmp/installed/r.tif"
"$build/tavelkorn" -q --term curvature --stretch p99 "$src/examples/jacksboro.tif" "$tmp/build/r.tif"
cmp -s "$tmp/installed/r.tif" "$tmp/build/r.tif" || fail "the GeoTIFF differs from the build's"

# QGIS, with a fresh profile and nothing pointing at the plugin: it is among
# QGIS's own and runs the installed program.
if [ -x /usr/bin/qgis_process.bin ]; then
  mkdir -m 700 "$tmp/xdg"
  qp() { env -u TAVELKORN_PROGRAM -u QGIS_PLUGINPATH XDG_RUNTIME_DIR="$tmp/xdg" QT_QPA_PLATFORM=offscreen \
           QGIS_CUSTOM_CONFIG_PATH="$tmp/profile" PATH=/usr/sbin:/usr/bin:/sbin:/bin /usr/bin/qgis_process.bin "$@"; }
  qp plugins enable tavelkorn_processing > /dev/null 2>&1
  qp run tavelkorn:roughness -- INPUT="$src/examples/jacksboro.tif" TERM=1 STRETCH=p99 OUTPUT="$tmp/q.tif" \
    > "$tmp/qgis.log" 2>&1 || fail "QGIS: $(cat "$tmp/qgis.log")"
  gdal_translate -q -of ENVI "$tmp/q.tif" "$tmp/q.bin" && gdal_translate -q -of ENVI "$tmp/build/r.tif" "$tmp/r.bin"
  cmp -s "$tmp/q.bin" "$tmp/r.bin" || fail "QGIS: not the command line's pixels"
fi
# Python's caches of the plugin, as QGIS run by root writes them.
"${sudo[@]}" /usr/bin/python3 -m compileall -q /usr/share/tavelkorn/qgis/tavelkorn_processing > /dev/null

# A C++ client builds against the package's engine.
cmake -S "$src/examples/client" -B "$tmp/client" -Dtavelkorn_DIR=/usr/lib/cmake/tavelkorn > /dev/null && cmake --build "$tmp/client" > /dev/null
out=$("$tmp/client/client")
[ "$out" = "$(cat "$src/tests/client_expected.txt")" ] || fail "the engine's client: $out"

remove
while read -r p; do
  if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
done < "$tmp/listed" > "$tmp/after"
grep -qx /usr/bin/tavelkorn "$tmp/listed" || fail "dpkg -L lists no /usr/bin/tavelkorn"
left=$(grep -vxF -f "$tmp/before" "$tmp/after" || true)
[ -z "$left" ] || fail "left behind by dpkg -r: $left"
# dpkg keeps the removed package's record (its postrm) until it is purged.
"${sudo[@]}" dpkg --purge tavelkorn > /dev/null
echo "deb: ok ($(basename "$deb"))"
