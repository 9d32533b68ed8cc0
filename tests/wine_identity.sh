#!/usr/bin/env bash
# The Windows program under wine and the Linux program, on the same cases,
# must end with the same status and leave the same files, byte for byte (a
# run report after its base folder, c:\images\ or images/, is made the same).
# usage: wine_identity.sh LINUX_PROGRAM WINDOWS_EXE SAMPLE_DIR
# Needs WINEPREFIX set to a prefix that wine has started (drive_c exists).
set -euo pipefail
linux=$1 windows=$2 sample=$3
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
tmp=$(mktemp -d)
folder=identity$$
lin=$tmp/images/$folder win=$WINEPREFIX/drive_c/images/$folder
trap 'rm -rf "$tmp" "$win"' EXIT
failures=0

# Puts the same inputs in both folders: setup is run in each.
prepare() {
  rm -rf "$lin" "$win"
  mkdir -p "$lin" "$win"
  (cd "$lin" && eval "$1")
  (cd "$win" && eval "$1")
}

# Runs both, answers on standard input (or a command line after "--"), and
# compares statuses and files.
compare() {
  local name=$1 answers=$2 ls lw
  shift 2
  set +e
  if [ "${1:-}" = -- ]; then
    shift
    (cd "$lin" && "$linux" "$@" > /dev/null 2> "$tmp/err.linux"); ls=$?
    run_windows() { (cd "$win" && wine "$windows" "$@" > /dev/null 2> "$tmp/err.windows"); }
  else
    (cd "$tmp" && printf '%b' "$answers" | "$linux" > /dev/null 2> "$tmp/err.linux"); ls=$?
    run_windows() { (cd "$tmp" && printf '%b' "$answers" | wine "$windows" > /dev/null 2> "$tmp/err.windows"); }
  fi
  run_windows "$@"; lw=$?
  # A failed run of the program says why; a failure without a word of it
  # nor of a crash is wine's own (it did not start the program): that one is
  # tried once more, and said.
  if [ "$lw" != 0 ] && ! grep -q '^tavelkorn: ' "$tmp/err.windows" &&
      ! grep -qiE 'exception|fault|abort' "$tmp/err.windows"; then
    echo "note $name: wine ended with status $lw before the program spoke: $(head -c 300 "$tmp/err.windows" | tr '\n' ' ')"
    run_windows "$@"; lw=$?
  fi
  set -e
  local bad=""
  [ "$ls" = "$lw" ] || bad="status $ls (Linux) and $lw (Windows)"
  for f in "$lin"/* "$win"/*; do
    local n=${f##*/} a="$lin/${f##*/}" b="$win/${f##*/}"
    [ -e "$a" ] && [ -e "$b" ] || { bad="$bad; $n exists on one side only"; continue; }
    case $n in
      *_info.txt) cmp -s <(cat "$a") <(sed 's#c:\\images\\#images/#; s#\\#/#g' "$b") || bad="$bad; $n differs" ;;
      *) cmp -s "$a" "$b" || bad="$bad; $n differs" ;;
    esac
  done
  if [ -n "$bad" ]; then
    echo "FAIL $name: ${bad#; }"
    sed 's/^/  linux: /' "$tmp/err.linux"
    sed 's/^/  windows: /' "$tmp/err.windows"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

sample_in="cp '$sample/jacksboro.raw' '$sample/jacksboro.txt' ."
prepare "$sample_in"
compare "sample, raster" "$folder\njacksboro\n1\nr\n0\n255\n"
compare "sample, bitmap" "$folder\njacksboro\n1\nb\n1\n200\n"
compare "command line, raw to bmp and raw" "" -- jacksboro.raw cli.bmp --profile cli.xls
compare "command line, raw to raw" "" -- jacksboro.raw "cli two.raw" --report r.txt --norm 300

prepare "cp '$sample/jacksboro.raw' ."
compare "no descriptor" "$folder\njacksboro\n344\n403\n90\n0\n1\n255\n"

prepare "head -c 300000 '$sample/jacksboro.raw' > j.raw; cp '$sample/jacksboro.txt' j.txt"
compare "incomplete DEM" "$folder\nj\n0\n0\n255\n"

prepare "$sample_in"
compare "refused answers" "$folder\njacksboro\n2\nx\n1\nout\nnine\n5\n1\n-300\n"
compare "end of input at the format prompt" "$folder\njacksboro\n0\n"
compare "a name that would overwrite the DEM" "$folder\njacksboro\n1\njacksboro_tavelkorn\n0\n1\n255\n"
prepare "$sample_in; echo previous > jacksboro_tavelkorn.xls; echo file > sub"
compare "a result folder that is a file" "$folder\njacksboro\n1\nsub/out\n1\n255\n"
compare "a missing DEM" "$folder\nnothere\nx"

# Sparse DEM of 4.3 GB: 1100 rows of 1000000 elevations, relief in rows
# past the 4 GiB mark only.
big="truncate -s 4400000000 big.raw; printf '1100\n1000000\n4\n0\n0\n1\n' > big.txt
python3 -c \"
import struct, sys
f = open('big.raw', 'r+b')
for i in (1075, 1090, 1095):
    f.seek(i * 4000000)
    f.write(struct.pack('<1000i', *[(k * 37 + i) % 1000 for k in range(1000)]))
\""
prepare "$big"
compare "sparse 4.3 GB DEM, raster" "$folder\nbig\n1\nr\n0\n255\n"
compare "sparse 4.3 GB DEM, bitmap" "$folder\nbig\n1\nb\n1\n255\n"
rm -rf "$lin" "$win"

[ "$failures" = 0 ] || { echo "$failures case(s) differ"; exit 1; }
echo "wine identity: all cases identical"
