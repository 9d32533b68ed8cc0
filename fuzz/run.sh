#!/usr/bin/env bash
# A fuzzing campaign: fuzz/run.sh TARGET SECONDS, TARGET one of bmp_reader,
# descriptor, dialogue, geotiff_reader (which needs GDAL). Builds the libFuzzer
# targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, starts
# from the seed corpus and keeps what it learns in build-fuzz/corpus/TARGET.
# A crasher is written to fuzz/crashes/: once fixed, copy it into fuzz/corpus/
# so the test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/run.sh bmp_reader|descriptor|dialogue|geotiff_reader SECONDS}
seconds=${2:?usage: fuzz/run.sh TARGET SECONDS}
case "$target" in bmp_reader) seeds=bmp ;; descriptor|dialogue) seeds=$target ;; geotiff_reader) seeds=geotiff ;;
  *) echo "unknown target: $target" >&2; exit 2 ;; esac

for pkg in clang libclang-rt-dev cmake; do
  dpkg -s "$pkg" >/dev/null 2>&1 || { apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >/dev/null; }
done
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVELKORN_FUZZ=ON -DTAVELKORN_SANITIZE=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${target}_fuzz" >/dev/null

mkdir -p "build-fuzz/corpus/$target" fuzz/crashes
top=$(pwd)  # absolute paths: the dialogue target works in a directory of its own
ASAN_OPTIONS=allocator_may_return_null=1 "$top/build-fuzz/fuzz/${target}_fuzz" \
  "$top/build-fuzz/corpus/$target" "$top/fuzz/corpus/$seeds" \
  -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
  -close_fd_mask=3 -artifact_prefix="$top/fuzz/crashes/${target}-" -print_final_stats=1
