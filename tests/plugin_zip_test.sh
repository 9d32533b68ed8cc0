#!/usr/bin/env bash
# The QGIS plugin's zip as QGIS's Plugins > Install from ZIP takes it: the
# folder tavelkorn_processing/ with the plugin's files (and a packed program
# in its bin/, for Windows) and nothing else; a metadata.txt with the fields
# QGIS's plugin manager shows, the given version, and QGIS's verdict that
# nothing is wrong with it. With PROGRAM: unzipped by QGIS's own code into a
# fresh profile, enabled, and run with PROGRAM, it gives PROGRAM's pixels.
# usage: plugin_zip_test.sh ZIP VERSION SOURCE_DIR [PROGRAM]
set -euo pipefail
zip=$(realpath "$1") version=$2 src=$3 prog=${4:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -m 700 "$tmp/xdg"
export XDG_RUNTIME_DIR=$tmp/xdg QT_QPA_PLATFORM=offscreen QGIS_CUSTOM_CONFIG_PATH=$tmp/profile
plugins=$tmp/profile/profiles/default/python/plugins  # where Install from ZIP puts it
/usr/bin/python3 - "$zip" "$version" "$src/qgis/tavelkorn_processing" "$plugins" <<'PY'
import configparser, os, sys, zipfile

path, version, src, plugins = sys.argv[1:5]
with zipfile.ZipFile(path) as z:
    names = set(z.namelist())
    mode = {n: z.getinfo(n).external_attr >> 16 for n in names}
    text = z.read("tavelkorn_processing/metadata.txt").decode("utf-8")
files = {"tavelkorn_processing/" + n for n in os.listdir(src) if n.endswith((".py", ".txt"))}
assert files <= names, f"missing: {sorted(files - names)}"
extra = names - files
assert extra <= {"tavelkorn_processing/bin/tavelkorn", "tavelkorn_processing/bin/tavelkorn.exe"}, sorted(extra)
assert all(mode[n] & 0o111 for n in extra), "a packed program that is not executable"
# QGIS takes the folder of the shortest metadata.txt as the plugin's name.
assert min(n for n in names if n.endswith("metadata.txt")) == "tavelkorn_processing/metadata.txt"

meta = configparser.ConfigParser()
meta.read_string(text)
general = meta["general"]
for field in ("name", "qgisMinimumVersion", "description", "about", "version", "author", "email"):
    assert general.get(field, "").strip(), f"metadata.txt: no {field}"
assert general["version"] == version, f"metadata.txt: version {general['version']}, not {version}"
assert general["hasProcessingProvider"] == "yes"
for field in ("homepage", "tracker", "repository"):  # left out rather than filled with words of no use
    assert general.get(field, "-").strip(), f"metadata.txt: an empty {field}"

from qgis.core import QgsApplication

app = QgsApplication([], False)
app.initQgis()
sys.path.append("/usr/share/qgis/python")
from pyplugin_installer.installer_data import plugins as manager
from pyplugin_installer.unzip import unzip

unzip(path, plugins)
seen = manager.getInstalledPlugin("tavelkorn_processing", os.path.join(plugins, "tavelkorn_processing"), False)
assert seen["error"] == "" and seen["version_installed"] == version, seen
PY
if [ -n "$prog" ]; then
  qp() { env -u TAVELKORN_PROGRAM -u QGIS_PLUGINPATH TAVELKORN_PROGRAM="$prog" /usr/bin/qgis_process.bin "$@"; }
  qp plugins enable tavelkorn_processing > /dev/null 2>&1
  qp run tavelkorn:roughness -- INPUT="$src/examples/jacksboro.tif" DIRECTION=2 OUTPUT="$tmp/q.tif" \
    > "$tmp/qgis.log" 2>&1 || { cat "$tmp/qgis.log"; echo "plugin zip: the run failed" >&2; exit 1; }
  "$prog" -q --direction both "$src/examples/jacksboro.tif" "$tmp/c.tif"
  gdal_translate -q -of ENVI "$tmp/q.tif" "$tmp/q.bin" && gdal_translate -q -of ENVI "$tmp/c.tif" "$tmp/c.bin"
  cmp -s "$tmp/q.bin" "$tmp/c.bin" || { echo "plugin zip: not the program's pixels" >&2; exit 1; }
fi
echo "plugin zip: ok ($(basename "$zip"))"
