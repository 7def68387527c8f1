#!/usr/bin/env bash
# Runs every benchmark executable of a build: tools/bench.sh BUILD_DIR [ARGS...]
# Extra arguments are passed to each benchmark (e.g. --benchmark_filter=...).
set -euo pipefail
build=${1:?usage: tools/bench.sh BUILD_DIR [benchmark args...]}
shift
found=0
status=0
for exe in "$build"/tools/bench_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  found=1
  echo "== $(basename "$exe")"
  "$exe" "$@" || status=$?
done
if [ "$found" = 0 ]; then
  echo "no benchmarks in $build/tools (is libbenchmark-dev installed and QVX_BUILD_BENCH on?)" >&2
fi
# FAT32: qvx analyze against fls -r -p on a volume of 50,000 files.
"$(dirname "${BASH_SOURCE[0]}")/bench_fat.sh" "$build" || status=$?
# NTFS: qvx analyze against fls -r -p on a volume of 200,000 files.
"$(dirname "${BASH_SOURCE[0]}")/bench_ntfs.sh" "$build" || status=$?
# NTFS growth: Standard and Advance Search on 50,000, 200,000 and 800,000
# files beside fls and cat (the volumes are cached outside the build).
"$(dirname "${BASH_SOURCE[0]}")/bench_scale.sh" "$build" || status=$?
# Recovery: qvx recover of 1 GiB of files against cat of the same image.
"$(dirname "${BASH_SOURCE[0]}")/bench_recover.sh" "$build" || status=$?
# Advance Search: the raw scan of 2 GiB against cat, then the 20,000-folder
# NTFS and 5,000-folder FAT32 volumes searched raw.
"$(dirname "${BASH_SOURCE[0]}")/bench_scan.sh" "$build" || status=$?
# Deep lost-partition search: every sector of 2 GiB against cat.
"$(dirname "${BASH_SOURCE[0]}")/bench_deep_search.sh" "$build" || status=$?
exit "$status"
