#!/usr/bin/env bash
# The QGIS plugin, headless with qgis_process on a fresh profile: listed,
# described, run with the same bytes as the command line (Byte and Float32,
# several scales and their summary), --json, failures with the program's message (once), the path of a program
# without GDAL, a run cancelled from PyQGIS that leaves nothing, the edges
# tests/qgis_plugin_test.py tries, and the documentation's headless commands.
# usage: qgis_test.sh PROGRAM SOURCE_DIR
set -euo pipefail
prog=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -m 700 "$tmp/xdg"
export XDG_RUNTIME_DIR=$tmp/xdg QT_QPA_PLATFORM=offscreen QGIS_CUSTOM_CONFIG_PATH=$tmp/profile
export QGIS_PLUGINPATH=$src/qgis TAVELKORN_PROGRAM=$prog
qp=/usr/bin/qgis_process.bin
dem=$src/examples/jacksboro.tif
fail() { echo "qgis: $*" >&2; exit 1; }
pixels() { gdal_translate -q -of ENVI "$@"; }

$qp plugins enable tavelkorn_processing >/dev/null 2>&1
$qp list 2>/dev/null | grep -q "tavelkorn:roughness" || fail "the algorithm is not listed"
$qp help tavelkorn:roughness 2>/dev/null | grep -q "second difference" || fail "no help"

directions=(rows columns both)
for way in "1 p99 0 Byte 1" "1 p99 1 Float32 2" "0 half 0 Byte 0"; do
  set -- $way
  term=$([ "$1" = 1 ] && echo curvature || echo classic)
  $qp --json run tavelkorn:roughness -- INPUT="$dem" OUTPUT="$tmp/q_$4.tif" TERM="$1" STRETCH="$2" TYPE="$3" \
    DIRECTION="$5" PROFILE="$tmp/q.xls" > "$tmp/out.json" 2>/dev/null || fail "run $way"
  grep -q "\"OUTPUT\": \"$tmp/q_$4.tif\"" "$tmp/out.json" || fail "--json gives no output path"
  "$prog" -q --term "$term" --stretch "$2" --type "$4" --direction "${directions[$5]}" "$dem" "$tmp/c_$4.tif" \
    --profile "$tmp/c.xls"
  pixels "$tmp/q_$4.tif" "$tmp/q.bin" && pixels "$tmp/c_$4.tif" "$tmp/c.bin"
  cmp -s "$tmp/q.bin" "$tmp/c.bin" || fail "$way: not the command line's pixels"
  cmp -s "$tmp/q.xls" "$tmp/c.xls" || fail "$way: not the command line's profile"
done

# Several scales from qgis_process: the command line's bands and profile.
for way in "1:3 false" "1:3 true"; do
  set -- $way
  $qp run tavelkorn:roughness -- INPUT="$dem" OUTPUT="$tmp/qs.tif" SCALES="$1" SCALE_SUMMARY="$2" PROFILE="$tmp/qs.xls" \
    > /dev/null 2>&1 || fail "scales $way"
  "$prog" -q --scale "$1" $([ "$2" = true ] && echo --scale-summary) "$dem" "$tmp/cs.tif" --profile "$tmp/cs.xls"
  pixels "$tmp/qs.tif" "$tmp/q.bin" && pixels "$tmp/cs.tif" "$tmp/c.bin"
  cmp -s "$tmp/q.bin" "$tmp/c.bin" && cmp -s "$tmp/qs.xls" "$tmp/cs.xls" || fail "scales $way: not the command line's"
  [ "$(gdalinfo "$tmp/qs.tif" | grep -c "^Band ")" = "$([ "$2" = true ] && echo 2 || echo 3)" ] || fail "scales $way: bands"
done

if $qp run tavelkorn:roughness -- INPUT="$dem" BAND=5 OUTPUT="$tmp/b.tif" > /dev/null 2> "$tmp/err"; then
  fail "a bad band succeeded"
fi
grep -q "has no band 5" "$tmp/err" || fail "a bad band: $(cat "$tmp/err")"
if $qp run tavelkorn:roughness -- INPUT="$tmp/missing.tif" OUTPUT="$tmp/m.tif" > /dev/null 2> "$tmp/err"; then
  fail "a missing input succeeded"
fi
grep -qi "missing.tif\|INPUT" "$tmp/err" || fail "a missing input: $(cat "$tmp/err")"
if $qp run tavelkorn:roughness -- INPUT="$dem" STRETCH=p101 OUTPUT="$tmp/s.tif" > "$tmp/err" 2>&1; then
  fail "a bad stretch succeeded"
fi
[ "$(grep -c "p101:" "$tmp/err")" = 1 ] || fail "a bad stretch, not said once: $(cat "$tmp/err")"
[ ! -e "$tmp/s.tif" ] || fail "a bad stretch made an image"

# The program alone, without its GDAL module: the plugin converts the band.
mkdir "$tmp/alone" && cp "$prog" "$tmp/alone/"
TAVELKORN_PROGRAM=$tmp/alone/tavelkorn $qp run tavelkorn:roughness -- INPUT="$dem" OUTPUT="$tmp/n.tif" TERM=1 \
  STRETCH=p99 DIRECTION=2 > /dev/null 2>&1 || fail "the native path"
"$prog" -q --term curvature --stretch p99 "$dem" "$tmp/g.tif"
"$prog" -q --term curvature --stretch p99 --direction both "$dem" "$tmp/gb.tif"
for b in 1 mask; do
  pixels -b $b "$tmp/n.tif" "$tmp/n.bin" && pixels -b $b "$tmp/gb.tif" "$tmp/g.bin"
  cmp -s "$tmp/n.bin" "$tmp/g.bin" || fail "the native path: band $b differs from the GDAL path's"
done

# Cancelled after its first progress report: no output, no temporary file.
gdal_translate -q -outsize 2000% 2000% "$dem" "$tmp/big.tif"
mkdir "$tmp/out"
/usr/bin/python3 - "$src/qgis" "$tmp/big.tif" "$tmp/out/r.tif" <<'PY' || fail "cancelling"
import os, sys
from qgis.core import QgsApplication, QgsProcessingException, QgsProcessingFeedback
from qgis.PyQt.QtCore import Qt
QgsApplication.setPrefixPath("/usr", True)
app = QgsApplication([], False)
app.initQgis()
sys.path.append("/usr/share/qgis/python/plugins")
sys.path.insert(0, sys.argv[1])
import processing
from processing.core.Processing import Processing
Processing.initialize()
from tavelkorn_processing.provider import TavelkornProvider
provider = TavelkornProvider()  # kept: Python overrides live in this object
QgsApplication.processingRegistry().addProvider(provider)
feedback = QgsProcessingFeedback()
feedback.progressChanged.connect(lambda p: feedback.cancel(), Qt.DirectConnection)
try:
    processing.run("tavelkorn:roughness", {"INPUT": sys.argv[2], "OUTPUT": sys.argv[3]}, feedback=feedback)
    sys.exit("not cancelled")
except QgsProcessingException as e:
    assert "Cancelled" in str(e), e
left = os.listdir(os.path.dirname(sys.argv[3]))
assert not left, left
PY
/usr/bin/python3 "$src/tests/qgis_plugin_test.py" "$prog" "$src" "$tmp/edges" > "$tmp/edges.log" 2>&1 ||
  fail "the plugin's edges: $(grep -v -e Deprecation -e '^ERROR [0-9]' "$tmp/edges.log")"

# The headless commands of docs/qgis.md as written, by a user with a fresh QGIS
# profile and no display who installed into ~/.local (the plugin finds the
# program there): both ways give the command line's pixels.
block() {  # NAME: the code block after <!-- NAME --> in the README or docs/
  bash "$src/tests/doc_block.sh" "$1" "$src"
}
home=$tmp/home && mkdir -p "$home/.local/share/tavelkorn/qgis" "$home/.local/bin" "$tmp/user"
cp -r "$src/qgis/tavelkorn_processing" "$home/.local/share/tavelkorn/qgis/" && cp "$prog" "$home/.local/bin/"
cp "$dem" "$tmp/user/dem.tif" && block qgis-headless > "$tmp/headless.sh" && block qgis-script > "$tmp/rough.py"
# The README's line for QGIS's Python console is the script's.
grep -qxF "$(block qgis-console)" "$tmp/rough.py" || fail "the README's processing.run() is not the script's"
user() { (cd "$tmp/user" && env -u TAVELKORN_PROGRAM -u QGIS_CUSTOM_CONFIG_PATH -u QGIS_PLUGINPATH HOME="$home" "$@"); }
for way in "headless env -u QT_QPA_PLATFORM bash -e $tmp/headless.sh" "script /usr/bin/python3 $tmp/rough.py"; do
  set -- $way
  user env QT_QPA_PLATFORM=offscreen "${@:2}" > "$tmp/$1.out" 2>&1 || fail "docs/qgis.md, $1: $(cat "$tmp/$1.out")"
  for b in 1 mask; do
    pixels -b $b "$tmp/user/rough.tif" "$tmp/w.bin" && pixels -b $b "$tmp/g.tif" "$tmp/g.bin"
    cmp -s "$tmp/w.bin" "$tmp/g.bin" || fail "docs/qgis.md, $1: band $b is not the command line's"
  done
  rm "$tmp/user/rough.tif"
done
# docs/qgis.md's scales, run by its script before it ends, with the GDAL module
# cmake --install puts beside ~/.local/bin (several scales need it): the
# command line's bands.
mkdir -p "$home/.local/lib/tavelkorn" && cp "$(dirname "$prog")/tavelkorn_gdal.so" "$home/.local/lib/tavelkorn/"
block qgis-scales > "$tmp/scales.block"
block qgis-script | awk -v f="$tmp/scales.block" '$0 == "app.exitQgis()" {while ((getline l < f) > 0) print l} {print}' \
  > "$tmp/scales.py"
user env QT_QPA_PLATFORM=offscreen /usr/bin/python3 "$tmp/scales.py" > "$tmp/scales.out" 2>&1 ||
  fail "docs/qgis.md, scales: $(cat "$tmp/scales.out")"
"$prog" -q --term curvature --stretch p99 --scale 1,2,4,8 "$dem" "$tmp/scales.tif"
"$prog" -q --term curvature --stretch p99 --scale 1:16 --scale-summary "$dem" "$tmp/summary.tif"
for f in scales summary; do
  pixels "$tmp/user/$f.tif" "$tmp/w.bin" && pixels "$tmp/$f.tif" "$tmp/g.bin"
  cmp -s "$tmp/w.bin" "$tmp/g.bin" || fail "docs/qgis.md, $f: not the command line's bands"
done
echo "qgis: ok"
