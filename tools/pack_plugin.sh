#!/usr/bin/env bash
# Packs the QGIS plugin for QGIS's Plugins > Install from ZIP:
#   tools/pack_plugin.sh OUT.zip [PROGRAM]
# The zip holds the folder tavelkorn_processing/ with its metadata.txt given
# the project's version (CMakeLists.txt's project()). With PROGRAM
# (tavelkorn or tavelkorn.exe), a copy of it goes into the plugin's bin/,
# where the plugin looks first: the zip is then all a user needs.
set -euo pipefail
out=$1 prog=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(tavelkorn VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "pack_plugin.sh: no project version in $top/CMakeLists.txt" >&2; exit 1; }
python3 - "$out" "$top/qgis/tavelkorn_processing" "$prog" "$version" <<'PY'
import os, sys, zipfile
out, src, prog, version = sys.argv[1:5]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(src)):
        if name == "metadata.txt":
            with open(os.path.join(src, name), encoding="utf-8") as f:
                text = f.read().replace("\n[general]\n", f"\n[general]\nversion={version}\n", 1)
            z.writestr("tavelkorn_processing/metadata.txt", text)
        elif name.endswith(".py"):
            z.write(os.path.join(src, name), "tavelkorn_processing/" + name)
    if prog:
        info = zipfile.ZipInfo("tavelkorn_processing/bin/" + os.path.basename(prog))
        info.external_attr = 0o755 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(prog, "rb") as f:
            z.writestr(info, f.read())
PY
echo "$out"
