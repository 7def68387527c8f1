#!/usr/bin/env bash
# Deep lost-partition search benchmark: `qvx partitions --search deep` of a
# 2 GiB disk already in the page cache against `cat disk > /dev/null`. The
# disk holds real bytes (not a sparse hole, which the kernel reads without
# touching memory), one NTFS volume at sector 1,000,000 and a zeroed table.
#
#   tools/bench_deep_search.sh BUILD_DIR
set -euo pipefail
build=$(readlink -f "${1:?usage: tools/bench_deep_search.sh BUILD_DIR}")
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_deep_search: $qvx not found; build first" >&2; exit 2; }
command -v mkntfs >/dev/null || { echo "bench_deep_search: mkntfs not installed, skipped" >&2; exit 0; }

outdir="$build/images"
mkdir -p "$outdir"
SECTORS=$((2048 * 2048))  # 2 GiB
disk="$outdir/deep-search.img"
if [ ! -f "$disk" ]; then
  # Random filler: every sector is data, and now and then one ends in 55 AA.
  head -c $((SECTORS * 512)) /dev/urandom >"$disk.tmp"
  dd if=/dev/zero of="$disk.tmp" bs=512 count=1 conv=notrunc status=none
  truncate -s $((32768 * 512)) "$disk.vol"
  mkntfs -F -Q -q -L DEEP_NTFS "$disk.vol" >/dev/null 2>&1
  dd if="$disk.vol" of="$disk.tmp" bs=512 seek=1000000 conv=notrunc status=none
  rm -f "$disk.vol"
  mv -f "$disk.tmp" "$disk"
fi

best() {  # best COMMAND...: the shortest wall time of five runs, in seconds
  local best="" t0 t1 t
  for _ in 1 2 3 4 5; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

mib=$((SECTORS / 2048))
cat "$disk" >/dev/null  # into the page cache
found=$("$qvx" partitions "$disk" --search deep --json -q | grep -c '"first":1000000,' || true)
t_cat=$(best cat "$disk")
t_qvx=$(best "$qvx" partitions "$disk" --search deep --json -q)
printf '== Deep lost-partition search, %d MiB in the page cache (NTFS at sector 1,000,000 found: %s)\n' "$mib" "$found"
printf '   cat disk > /dev/null          : %7.3f s  %6.0f MiB/s\n' "$t_cat" "$(awk -v t="$t_cat" -v m="$mib" 'BEGIN { print m / t }')"
printf '   qvx partitions --search deep  : %7.3f s  %6.0f MiB/s\n' "$t_qvx" "$(awk -v t="$t_qvx" -v m="$mib" 'BEGIN { print m / t }')"
printf '   throughput qvx / cat          : %7.2f (target 0.80 or more)\n' "$(awk -v a="$t_qvx" -v b="$t_cat" 'BEGIN { print b / a }')"
