#!/usr/bin/env bash
# Benchmark: bench/run.sh [LINES COLUMNS [RUNS]] (default 10000 10000 5).
# Makes a deterministic DEM (with an ENVI header, so GDAL reads the same
# file), then times, alternating, the whole program run (answers piped,
# bitmap), `gdaldem roughness` on the same DEM, and the read floor (one fread
# of the DEM into a fresh buffer). Prints medians, peak memory and ratios,
# then checks that the in-memory and the streaming ways write the same files,
# in both formats.
# The DEM lives in $BENCH_DIR (default /tmp/tavelkorn-bench). GDAL=0 leaves
# gdaldem out (its float output of a very large DEM is as large again).
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-10000} cols=${2:-10000} runs=${3:-5}
top=$(pwd)

need=()
for pkg in gdal-bin time cmake g++; do dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg"); done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target tavelkorn gen_dem read_floor >/dev/null
bin=$top/build-bench

work=${BENCH_DIR:-/tmp/tavelkorn-bench}
name=dem_${lines}x${cols}
mkdir -p "$work/images/bench"
cd "$work"
dem=images/bench/$name.raw
[ -f "$dem" ] || "$bin/gen_dem" "images/bench/$name" "$lines" "$cols"

# one timed run: appends "seconds peak_kib" to the file named first
timed() { local out=$1; shift; /usr/bin/time -f "%e %M" -a -o "$out" "$@"; }
rm -f t_prog t_gdal t_read
for ((r = 0; r < runs; r++)); do
  timed t_prog sh -c "printf 'bench\n$name\n0\n1\n255\n' | '$bin/tavelkorn' >/dev/null"
  [ "${GDAL:-1}" = 0 ] || { timed t_gdal gdaldem roughness -q "$dem" rough.tif; rm -f rough.tif; }
  timed t_read "$bin/read_floor" "$dem"
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
m_prog=$(cut -d' ' -f1 t_prog | median) m_gdal=$( [ -f t_gdal ] && cut -d' ' -f1 t_gdal | median || echo 0) m_read=$(cut -d' ' -f1 t_read | median)
peak() { cut -d' ' -f2 "$1" | sort -n | tail -1 | awk '{printf "%.0f", $1 / 1024}'; }
budget=$(awk -v p="$lines" -v q="$cols" 'BEGIN {printf "%.0f", p * q * 13 / 1048576 + 32}')
echo
echo "DEM $lines x $cols ($(du -m "$dem" | cut -f1) MB), $runs alternating runs, $(date -u +%F), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "| run | median s | peak MiB | ratio |"
echo "|---|---|---|---|"
echo "| tavelkorn, bitmap | $m_prog | $(peak t_prog) (budget $budget) | |"
[ -f t_gdal ] && echo "| gdaldem roughness | $m_gdal | $(peak t_gdal) | tavelkorn / gdaldem = $(awk -v a="$m_prog" -v b="$m_gdal" 'BEGIN {printf "%.2f", a / b}') |"
echo "| read floor | $m_read | $(peak t_read) | tavelkorn / read floor = $(awk -v a="$m_prog" -v b="$m_read" 'BEGIN {printf "%.2f", a / b}') |"

# The in-memory way must write the very same files: the DEM less its last
# row (all 0) is incomplete, so it is held in memory; the whole DEM streams.
short=images/bench/short_$name
head -c $((lines * cols * 4 - cols * 4)) "$dem" > "$short.raw"
cp "images/bench/$name.txt" "$short.txt"
for format in 0 1; do
  ext=$([ $format = 0 ] && echo raw || echo bmp)
  printf "bench\n$name\n1\nstream\n$format\n255\n" | /usr/bin/time -f "%e %M" -o t_stream "$bin/tavelkorn" >/dev/null
  if ! printf "bench\nshort_$name\n1\nmem\n$format\n255\n" |
      /usr/bin/time -f "%e %M" -o t_mem "$bin/tavelkorn" >/dev/null 2>err; then
    echo "| in memory | refused: $(cat err) | | |"
    continue
  fi
  for f in _tavelkorn.$ext _tavelkorn.xls; do
    cmp -s "images/bench/mem$f" "images/bench/stream$f" || { echo "in memory and streaming differ: $f" >&2; exit 1; }
  done
  kind=$([ $format = 0 ] && echo raster || echo bitmap)
  echo "| $kind, streaming / in memory | $(cut -d' ' -f1 t_stream) / $(cut -d' ' -f1 t_mem) | $(cut -d' ' -f2 t_stream | awk '{printf "%.0f", $1 / 1024}') / $(cut -d' ' -f2 t_mem | awk '{printf "%.0f", $1 / 1024}') | identical files |"
  rm -f images/bench/mem_* images/bench/stream_*
done
rm -f "$short.raw" "$short.txt"
