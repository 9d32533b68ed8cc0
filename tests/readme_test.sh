#!/usr/bin/env bash
# The README's commands run as written: its first command (build and run the
# sample) in a fresh copy of the project, and its scripting example on a
# folder of two DEMs. usage: readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The first line of the README's first shell block, in a copy without builds.
first=$(awk '/^```sh/ {getline; print; exit}' "$src/README.md")
mkdir "$tmp/copy"
tar -C "$src" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$tmp/copy" -xf -
rm -f "$tmp/copy/examples/images/demo/"*_tavelkorn*
(cd "$tmp/copy" && eval "$first") > "$tmp/sample.out"
grep -q "image: examples/images/demo/jacksboro_tavelkorn.bmp" "$tmp/sample.out"
size=$(stat -c %s "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp")
[ "$size" -eq $((1078 + 344 * 404)) ] || { echo "sample BMP is $size bytes"; exit 1; }

# The scripting example, on two DEMs with descriptors.
mkdir -p "$tmp/work/images/survey"
for name in north south; do
  cp "$src/examples/images/demo/jacksboro.raw" "$tmp/work/images/survey/$name.raw"
  cp "$src/examples/images/demo/jacksboro.txt" "$tmp/work/images/survey/$name.txt"
done
awk '/<!-- script-example -->/ {found = 1; next} found && /^```sh/ {inside = 1; next}
     inside && /^```/ {exit} inside {print}' "$src/README.md" > "$tmp/example.sh"
[ -s "$tmp/example.sh" ] || { echo "no scripting example in the README"; exit 1; }
(cd "$tmp/work" && PATH="$build:$PATH" bash -e "$tmp/example.sh")
cmp "$tmp/work/images/survey/north_tavelkorn.bmp" "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp"
cmp "$tmp/work/images/survey/south_tavelkorn.bmp" "$tmp/copy/examples/images/demo/jacksboro_tavelkorn.bmp"
echo "README commands: ok"
