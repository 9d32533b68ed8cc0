#!/usr/bin/env bash
# tools/profile_svg.py plots every line of a profile table (CR LF, as the
# program writes it) and refuses a malformed one. usage: profile_svg_test.sh SOURCE_DIR
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '2\t0.000000\r\n3\t255.000000\r\n4\t18.214286\r\n5\t0.000000\r\n' > "$tmp/p.xls"
python3 "$src/tools/profile_svg.py" "$tmp/p.xls" "$tmp/p.svg" >/dev/null
points=$(grep -o '<polyline points="[^"]*"' "$tmp/p.svg" | tr ' ' '\n' | grep -c ',')
[ "$points" -eq 4 ] || { echo "$points points plotted, 4 expected"; exit 1; }
printf '2 0.0\n' > "$tmp/bad.xls"
if python3 "$src/tools/profile_svg.py" "$tmp/bad.xls" 2> "$tmp/err"; then exit 1; fi
grep -q "bad.xls:1: expected" "$tmp/err"
echo "profile plot: ok"
