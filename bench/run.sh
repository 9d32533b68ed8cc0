#!/usr/bin/env bash
# Benchmark: bench/run.sh [LINES COLUMNS [RUNS]] (default 10000 10000 5).
# Makes a deterministic DEM (NAME.raw with its descriptor, and an ENVI header
# so that GDAL reads the very same file) and an Int32 GeoTIFF of it, then
# times in alternating rounds:
#   - the dialogue (answers piped, bitmap), with every core and with 1 thread;
#   - the command line, NAME.raw to .bmp, with the default term and stretch
#     and with --term curvature --stretch p99, each also --direction columns
#     and both;
#   - --scale 8 alone, NAME.raw to .bmp;
#   - gdaldem roughness on NAME.raw (GeoTIFF out);
#   - the stream floor: the DEM read twice through a reused page-aligned 1 MiB
#     buffer, plus LINES x COLUMNS bytes written over an existing file;
#   - the replace floor: the same, written to a new file renamed over an
#     existing one, as every result is replaced whole;
#   - the GeoTIFF leg: GeoTIFF in, GeoTIFF out, tavelkorn and gdaldem;
#   - the uncompressed legs, each against gdaldem and against the .raw of
#     the same cells to GeoTIFF: Int16 and Int32 in the strips gdal_translate
#     makes by default (one row each here), Float32 in 256 x 256 tiles;
#   - the compressed legs: an Int16 GeoTIFF, DEFLATE with predictor 2 in
#     256 x 256 tiles, to GeoTIFF, tavelkorn (the decoded DEM held in memory,
#     and spilled with --memory 64M) and gdaldem; and (VRT=1) a VRT of four
#     such tiles, twice the size each way;
#   - the scale legs: --scale 1,2,4,8 from NAME.raw to a 4-band GeoTIFF, the
#     same with --scale-summary, and the DEFLATE tiles at four scales (its
#     peak against one scale's: the DEM is decoded once for all).
# Prints median, min and max, peak memory and ratios, then checks that the
# in-memory and streamed ways and 1 and N threads write identical files.
# The DEM lives in $BENCH_DIR (default /tmp/tavelkorn-bench). GDAL=0 leaves
# gdaldem and the GeoTIFF leg out (a very large DEM's float output is as
# large again).
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-10000} cols=${2:-10000} runs=${3:-5}
top=$(pwd)

source tools/packages.sh
install_missing gdal-bin time cmake g++ libgdal-dev libcli11-dev
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target tavelkorn gen_dem stream_floor >/dev/null
bin=$top/build-bench
gdal=${GDAL:-1}

work=${BENCH_DIR:-/tmp/tavelkorn-bench}
name=dem_${lines}x${cols}
mkdir -p "$work/images/bench"
cd "$work"
dem=images/bench/$name.raw
[ -f "$dem" ] || "$bin/gen_dem" "images/bench/$name" "$lines" "$cols"
tif=images/bench/$name.tif
[ "$gdal" = 0 ] || [ -f "$tif" ] || gdal_translate -q -ot Int32 -co TILED=YES -a_srs EPSG:32616 \
  -a_ullr 500000 4000000 $((500000 + 25 * cols)) $((4000000 - 25 * lines)) "$dem" "$tif"
legs=(int16 int32 float32)
for leg in "${legs[@]}"; do
  f=images/bench/${name}_$leg.tif
  case $leg in int16) opts="-ot Int16" ;; int32) opts="-ot Int32" ;; float32) opts="-ot Float32 -co TILED=YES" ;; esac
  [ "$gdal" = 0 ] || [ -f "$f" ] || gdal_translate -q $opts "$dem" "$f"
done
deflate=images/bench/${name}_deflate.tif
[ "$gdal" = 0 ] || [ -f "$deflate" ] || gdal_translate -q -ot Int16 -co TILED=YES -co COMPRESS=DEFLATE \
  -co PREDICTOR=2 "$tif" "$deflate"
vrt=images/bench/${name}_four.vrt
if [ "${VRT:-0}" != 0 ]; then
  {
    echo "<VRTDataset rasterXSize=\"$((2 * cols))\" rasterYSize=\"$((2 * lines))\"><VRTRasterBand dataType=\"Int16\" band=\"1\">"
    for at in "0 0" "$cols 0" "0 $lines" "$cols $lines"; do
      set -- $at
      echo "<SimpleSource><SourceFilename relativeToVRT=\"1\">$(basename "$deflate")</SourceFilename><SourceBand>1</SourceBand>"
      echo "<SrcRect xOff=\"0\" yOff=\"0\" xSize=\"$cols\" ySize=\"$lines\"/><DstRect xOff=\"$1\" yOff=\"$2\" xSize=\"$cols\" ySize=\"$lines\"/></SimpleSource>"
    done
    echo "</VRTRasterBand></VRTDataset>"
  } > "$vrt"
fi
cp "$dem" floor.out  # the stream floor writes over an existing file
cp "$dem" replace.out

# one timed run: appends "seconds peak_kib" to the file named first
timed() { local out=$1; shift; /usr/bin/time -f "%e %M" -a -o "$out" "$@"; }
dialogue="printf 'bench\n$name\n1\nd\n1\n255\n' | '$bin/tavelkorn' >/dev/null"
rm -f t_*
sync
for ((r = 0; r < runs; r++)); do
  timed t_dialogue sh -c "$dialogue"
  timed t_dialogue1 sh -c "TAVELKORN_THREADS=1 $dialogue"
  timed t_cli "$bin/tavelkorn" -q "$dem" cli.bmp
  timed t_p99 "$bin/tavelkorn" -q --term curvature --stretch p99 "$dem" p99.bmp
  timed t_scale8 "$bin/tavelkorn" -q --scale 8 "$dem" s8.bmp
  for d in columns both; do
    timed t_${d} "$bin/tavelkorn" -q --direction $d "$dem" dir.bmp
    timed t_${d}_p99 "$bin/tavelkorn" -q --direction $d --term curvature --stretch p99 "$dem" dir.bmp
  done
  timed t_floor "$bin/stream_floor" "$dem" floor.out $((lines * cols))
  timed t_replace sh -c "'$bin/stream_floor' '$dem' replace.tmp $((lines * cols)) && mv replace.tmp replace.out"
  if [ "$gdal" != 0 ]; then
    timed t_gdaldem gdaldem roughness -q "$dem" rough.tif
    timed t_tif "$bin/tavelkorn" -q "$tif" out.tif
    timed t_gdaldem_tif gdaldem roughness -q "$tif" rough_tif.tif
    sync  # gdaldem's 400 MB of dirty pages would be written back during the next runs
    timed t_raw_tif "$bin/tavelkorn" -q "$dem" out.tif
    for leg in "${legs[@]}"; do
      timed t_$leg "$bin/tavelkorn" -q "images/bench/${name}_$leg.tif" out.tif
      timed t_gdaldem_$leg gdaldem roughness -q "images/bench/${name}_$leg.tif" rough_tif.tif
      sync
    done
    timed t_deflate "$bin/tavelkorn" -q "$deflate" out.tif
    timed t_deflate_spill "$bin/tavelkorn" -q --memory 64M "$deflate" out.tif
    timed t_gdaldem_deflate gdaldem roughness -q "$deflate" rough_tif.tif
    sync
    timed t_scales "$bin/tavelkorn" -q --scale 1,2,4,8 "$dem" out.tif
    timed t_summary "$bin/tavelkorn" -q --scale 1,2,4,8 --scale-summary "$dem" out.tif
    timed t_deflate_scales "$bin/tavelkorn" -q --scale 1,2,4,8 "$deflate" out.tif
    sync
    if [ "${VRT:-0}" != 0 ]; then
      timed t_vrt "$bin/tavelkorn" -q "$vrt" out.tif
      timed t_gdaldem_vrt gdaldem roughness -q "$vrt" rough_tif.tif
      sync
    fi
  fi
done

stat() {  # median min max of a timing file
  cut -d' ' -f1 "$1" | sort -n | awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2;
    printf "%.3f %.3f %.3f", m, a[1], a[NR]}'
}
peak() { cut -d' ' -f2 "$1" | sort -n | tail -1 | awk '{printf "%.0f", $1 / 1024}'; }
med() { stat "$1" | cut -d' ' -f1; }
ratio() { awk -v a="$(med "$1")" -v b="$(med "$2")" 'BEGIN {printf "%.2f", a / b}'; }
row() {  # label file [ratio text]
  read -r m lo hi <<< "$(stat "$2")"
  echo "| $1 | $m | $lo - $hi | $(peak "$2") | ${3:-} |"
}
echo
echo "DEM $lines x $cols ($(du -m "$dem" | cut -f1) MB), $runs alternating rounds, $(date -u +%F), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "| run | median s | min - max s | peak MiB | ratio |"
echo "|---|---|---|---|---|"
g=""
[ "$gdal" = 0 ] || g=", $(ratio t_dialogue t_gdaldem) x gdaldem"
row "tavelkorn dialogue, bitmap, $(nproc) threads" t_dialogue "$(ratio t_dialogue t_floor) x stream floor, $(ratio t_dialogue t_replace) x replace floor$g"
row "tavelkorn dialogue, bitmap, 1 thread" t_dialogue1 "$(ratio t_dialogue1 t_floor) x stream floor, $(ratio t_dialogue1 t_replace) x replace floor"
row "tavelkorn command line, .raw to .bmp" t_cli "$(ratio t_cli t_dialogue) x the dialogue"
row "the same, --term curvature --stretch p99" t_p99 "$(ratio t_p99 t_cli) x the default"
row "the same, --scale 8" t_scale8 "$(ratio t_scale8 t_cli) x scale 1"
for d in columns both; do
  row "the same, --direction $d" t_$d "$(ratio t_$d t_cli) x the default"
  row "the same, --direction $d --term curvature --stretch p99" t_${d}_p99 "$(ratio t_${d}_p99 t_p99) x curvature p99"
done
row "stream floor" t_floor
row "replace floor" t_replace
if [ "$gdal" != 0 ]; then
  row "gdaldem roughness, .raw to GeoTIFF" t_gdaldem
  row "tavelkorn, GeoTIFF to GeoTIFF" t_tif "$(ratio t_tif t_gdaldem_tif) x gdaldem"
  row "gdaldem roughness, GeoTIFF to GeoTIFF" t_gdaldem_tif
  row "tavelkorn, .raw to GeoTIFF" t_raw_tif "$(ratio t_raw_tif t_gdaldem) x gdaldem"
  for leg in "${legs[@]}"; do
    case $leg in int16) what="Int16 strips" ;; int32) what="Int32 strips" ;; float32) what="Float32 tiles" ;; esac
    row "tavelkorn, $what to GeoTIFF" t_$leg "$(ratio t_$leg t_raw_tif) x the .raw, $(ratio t_$leg t_gdaldem_$leg) x gdaldem"
    row "gdaldem roughness, $what to GeoTIFF" t_gdaldem_$leg
  done
  row "tavelkorn, DEFLATE tiles to GeoTIFF, in memory" t_deflate "$(ratio t_deflate t_gdaldem_deflate) x gdaldem"
  row "tavelkorn, DEFLATE tiles to GeoTIFF, spilled (--memory 64M)" t_deflate_spill "$(ratio t_deflate_spill t_gdaldem_deflate) x gdaldem"
  row "gdaldem roughness, DEFLATE tiles to GeoTIFF" t_gdaldem_deflate
  row "tavelkorn, .raw to GeoTIFF, --scale 1,2,4,8 (4 bands)" t_scales "$(ratio t_scales t_raw_tif) x one scale"
  row "the same, --scale-summary" t_summary "$(ratio t_summary t_raw_tif) x one scale"
  row "tavelkorn, DEFLATE tiles to GeoTIFF, --scale 1,2,4,8" t_deflate_scales "$(ratio t_deflate_scales t_deflate) x one scale; peak $(peak t_deflate) MiB at one scale"
  if [ "${VRT:-0}" != 0 ]; then
    row "tavelkorn, VRT of four DEFLATE tiles" t_vrt "$(ratio t_vrt t_gdaldem_vrt) x gdaldem"
    row "gdaldem roughness, VRT of four DEFLATE tiles" t_gdaldem_vrt
  fi
fi

# The same files every way: 1 and N threads, streamed and (the DEM less its
# last row, all 0, is incomplete) held in memory.
cmp -s images/bench/d_tavelkorn.bmp cli.bmp || { echo "the dialogue and the command line differ" >&2; exit 1; }
short=images/bench/short_$name
head -c $((lines * cols * 4 - cols * 4)) "$dem" > "$short.raw"
cp "images/bench/$name.txt" "$short.txt"
for format in 0 1; do
  ext=$([ $format = 0 ] && echo raw || echo bmp)
  printf "bench\n$name\n1\nstream\n$format\n255\n" | "$bin/tavelkorn" >/dev/null
  printf "bench\n$name\n1\none\n$format\n255\n" | TAVELKORN_THREADS=1 "$bin/tavelkorn" >/dev/null
  if ! printf "bench\nshort_$name\n1\nmem\n$format\n255\n" | "$bin/tavelkorn" >/dev/null 2>err; then
    echo "| in memory | refused: $(cat err) | | | |"
  else
    cmp -s "images/bench/mem_tavelkorn.$ext" "images/bench/stream_tavelkorn.$ext" ||
      { echo "in memory and streamed differ ($ext)" >&2; exit 1; }
  fi
  cmp -s "images/bench/one_tavelkorn.$ext" "images/bench/stream_tavelkorn.$ext" ||
    { echo "1 and $(nproc) threads differ ($ext)" >&2; exit 1; }
  echo "| $ext: streamed, in memory, 1 thread | identical files | | | |"
  rm -f images/bench/mem_* images/bench/stream_* images/bench/one_*
done
if [ "$gdal" != 0 ]; then
  "$bin/tavelkorn" -q "$dem" native.raw
  for leg in "${legs[@]}" deflate; do
    "$bin/tavelkorn" -q "images/bench/${name}_$leg.tif" leg.raw
    cmp -s leg.raw native.raw || { echo "the $leg GeoTIFF and the .raw differ" >&2; exit 1; }
  done
  echo "| Int16, Int32, Float32, DEFLATE GeoTIFFs and the .raw | identical images | | | |"
  rm -f native.raw native.txt leg.raw leg.txt
fi
rm -f "$short.raw" "$short.txt" cli.bmp p99.bmp s8.bmp dir.bmp out.tif rough.tif rough_tif.tif floor.out replace.out

# The Python package (PYTHON=1): in memory against gdal.DEMProcessing,
# plain numpy, and xarray-spatial and xDEM from PyPI in a venv of their own
# (made once in $BENCH_DIR/peers), and a Dask cluster against the command line.
if [ "${PYTHON:-0}" != 0 ]; then
  cmake --build "$bin" -j "$(nproc)" --target _moteur >/dev/null
  peers=$work/peers
  if [ ! -f "$peers/installed" ]; then
    rm -rf "$peers" && python3 -m venv "$peers" && "$peers/bin/pip" install -q xarray-spatial xdem && touch "$peers/installed"
  fi
  "$peers/bin/pip" list 2>/dev/null | grep -E '^(xarray-spatial|xdem|numpy|numba|scipy) '
  PEERS_PYTHON=$peers/bin/python TAVELKORN_PROGRAM=$bin/tavelkorn BENCH_DIR=$work PYTHONPATH=$bin/python \
    /usr/bin/python3 "$top/bench/python_bench.py" "$lines" "$cols" "$runs"
fi
