#!/usr/bin/env bash
# Packs the QGIS plugin for QGIS's Plugins > Install from ZIP:
#   tools/pack_plugin.sh OUT.zip [PROGRAM]
# With PROGRAM (tavelkorn or tavelkorn.exe), a copy of it goes into the
# plugin's bin/, where the plugin looks first: the zip is then all a user
# needs.
set -euo pipefail
out=$1 prog=${2:-}
src=$(cd "$(dirname "$0")/.." && pwd)/qgis/tavelkorn_processing
python3 - "$out" "$src" "$prog" <<'PY'
import os, sys, zipfile
out, src, prog = sys.argv[1:4]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(src)):
        if name.endswith((".py", ".txt")):
            z.write(os.path.join(src, name), "tavelkorn_processing/" + name)
    if prog:
        info = zipfile.ZipInfo("tavelkorn_processing/bin/" + os.path.basename(prog))
        info.external_attr = 0o755 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(prog, "rb") as f:
            z.writestr(info, f.read())
PY
echo "$out"
