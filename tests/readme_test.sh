#!/usr/bin/env bash
# The README's and docs/' commands run as written: the README's first
# command (build and run the sample) in a fresh copy of the project, the
# examples, the scripting example on a folder of two DEMs, and the install
# commands. usage: readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The first line of the README's first shell block, in a copy without builds,
# on a machine where GDAL's headers are missing and apt-get cannot install
# them: the sample is built and run all the same.
first=$(awk '/^```sh/ {getline; print; exit}' "$src/README.md")
mkdir "$tmp/copy" "$tmp/stubs"
tar -C "$src" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$tmp/copy" -xf -
rm -f "$tmp/copy/examples/images/demo/"*_tavelkorn*
printf '#!/bin/sh\nfor a; do [ "$a" = libgdal-dev ] && exit 1; done\nexec /usr/bin/dpkg-query "$@"\n' \
  > "$tmp/stubs/dpkg-query"
printf '#!/bin/sh\necho "E: Unable to locate package" >&2\nexit 100\n' > "$tmp/stubs/apt-get"
printf '#!/bin/sh\nexec "$@"\n' > "$tmp/stubs/sudo"  # the stubs, not the system's, whoever runs this
chmod +x "$tmp/stubs/"*
(cd "$tmp/copy" && export PATH="$tmp/stubs:$PATH" && eval "$first") > "$tmp/sample.out" 2> "$tmp/sample.err" ||
  { cat "$tmp/sample.err"; exit 1; }
grep -q "^installing: libgdal-dev$" "$tmp/sample.out"
grep -q "no GDAL: the command line will read and write .raw and .bmp only" "$tmp/sample.err"
grep -q "image: examples/images/demo/jacksboro_tavelkorn.bmp" "$tmp/sample.out"
size=$(stat -c %s "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp")
[ "$size" -eq $((1078 + 344 * 404)) ] || { echo "sample BMP is $size bytes"; exit 1; }

# A block of the README or docs/ marked <!-- NAME -->, run with the build on the PATH.
run_block() {  # NAME FOLDER
  bash "$src/tests/doc_block.sh" "$1" "$src" > "$tmp/$1.sh"
  [ -s "$tmp/$1.sh" ] || { echo "$1 is empty"; exit 1; }
  (cd "$2" && PATH="$build:$PATH" bash -e "$tmp/$1.sh")
}

# From the project's root: the GeoTIFF example and the profile plot.
run_block geotiff-example "$tmp/copy"
gdalinfo "$tmp/copy/jacksboro_roughness.tif" | grep -q "Mask Flags: PER_DATASET"
run_block profile-example "$tmp/copy"
grep -q "<svg" "$tmp/copy/profile.svg"

# The batch loop, on a folder of two GeoTIFFs.
mkdir -p "$tmp/batch/dems"
cp "$src/examples/jacksboro.tif" "$tmp/batch/dems/a.tif"
cp "$src/examples/jacksboro.tif" "$tmp/batch/dems/b c.tif"
run_block batch-example "$tmp/batch"
cmp "$tmp/batch/out/a.tif" "$tmp/copy/jacksboro_roughness.tif"
cmp "$tmp/batch/out/b c.tif" "$tmp/copy/jacksboro_roughness.tif"

# The scripting example, on two DEMs with descriptors.
mkdir -p "$tmp/work/images/survey"
for name in north south; do
  cp "$src/examples/images/demo/jacksboro.raw" "$tmp/work/images/survey/$name.raw"
  cp "$src/examples/images/demo/jacksboro.txt" "$tmp/work/images/survey/$name.txt"
done
run_block script-example "$tmp/work"
cmp "$tmp/work/images/survey/north_tavelkorn.bmp" "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp"
cmp "$tmp/work/images/survey/south_tavelkorn.bmp" "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp"
# The dialogue's example, from examples/: the bitmap the command line makes
# with the same normalisation.
run_block dialogue-example "$tmp/copy/examples" > /dev/null
"$build/tavelkorn" -q --norm 200 "$src/examples/images/demo/jacksboro.raw" "$tmp/n200.bmp"
cmp "$tmp/copy/examples/images/demo/rough_tavelkorn.bmp" "$tmp/n200.bmp"

# The install commands, in the copy built by the first command, by a user
# whose home is a fresh folder: from the sources into ~/.local; the Debian
# package (sudo, not run here, is asked to install the package just made;
# tests/deb_test.sh installs one); the QGIS plugin's zip.
mkdir "$tmp/home" "$tmp/sudo"
HOME=$tmp/home run_block source-example "$tmp/copy" > /dev/null
[ "$("$tmp/home/.local/bin/tavelkorn" --version)" = "$("$build/tavelkorn" --version)" ]
[ -f "$tmp/home/.local/share/man/man1/tavelkorn.1" ]
printf '#!/bin/sh\nprintf "%%s\\n" "$@" > "%s/sudo/args"\n' "$tmp" > "$tmp/sudo/sudo" && chmod +x "$tmp/sudo/sudo"
PATH=$tmp/sudo:$PATH run_block deb-example "$tmp/copy" > /dev/null 2>&1
deb=$(sed -n 3p "$tmp/sudo/args")
[ "$(head -2 "$tmp/sudo/args" | tr '\n' ' ')" = "apt-get install " ] && [ "$(wc -l < "$tmp/sudo/args")" = 3 ]
dpkg-deb -c "$tmp/copy/$deb" > "$tmp/deb.list"
grep -q " ./usr/bin/tavelkorn$" "$tmp/deb.list" || { echo "deb-example: no program in $deb"; exit 1; }
run_block plugin-zip-example "$tmp/copy" > /dev/null
python3 -m zipfile -l "$tmp/copy/tavelkorn_processing.zip" > "$tmp/zip.list"
grep -q "^tavelkorn_processing/metadata.txt " "$tmp/zip.list"
# Every relative link of the README and docs/ leads to a file, and to one of
# its headings where it names one (as GitHub names them).
python3 - "$src" <<'PY'
import glob, os, re, sys

src = sys.argv[1]


def anchors(path):
    heads = (line.lstrip("#").strip().lower() for line in open(path, encoding="utf-8") if line.startswith("#"))
    return {re.sub(r"[^\w\- ]", "", h).replace(" ", "-") for h in heads}


bad = []
for doc in [os.path.join(src, "README.md")] + sorted(glob.glob(os.path.join(src, "docs", "*.md"))):
    for target in re.findall(r"\]\(([^)\s]+)\)", open(doc, encoding="utf-8").read()):
        path, _, anchor = target.partition("#")
        if "://" in target:
            continue
        full = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
        if not os.path.exists(full) or (anchor and anchor not in anchors(full)):
            bad.append(f"{os.path.relpath(doc, src)}: {target}")
assert not bad, f"broken links: {bad}"
PY
echo "README commands: ok"
