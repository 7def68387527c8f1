#!/usr/bin/env bash
# Advance Search benchmark: the raw scan of a 2 GiB image already in the
# page cache against `cat image > /dev/null`, for an NTFS and a FAT32
# volume; then the whole Advance Search (scan, identification, tree) of the
# 20,000-folder NTFS and 5,000-folder FAT32 bench volumes, when
# bench_ntfs.sh and bench_fat.sh have built them.
#
#   tools/bench_scan.sh BUILD_DIR
set -euo pipefail
build=$(readlink -f "${1:?usage: tools/bench_scan.sh BUILD_DIR}")
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_scan: $qvx not found; build first" >&2; exit 2; }
for tool in mkntfs mkfs.fat mmd; do
  command -v "$tool" >/dev/null || { echo "bench_scan: $tool not installed, skipped" >&2; exit 0; }
done

outdir="$build/images"
mkdir -p "$outdir"
SECTORS=$((2048 * 2048))  # 2 GiB
ntfs="$outdir/scan-ntfs.img"
fat="$outdir/scan-fat32.img"
if [ ! -f "$ntfs" ]; then
  truncate -s $((SECTORS * 512)) "$ntfs.tmp"
  mkntfs -F -Q -q -L SCAN_NTFS "$ntfs.tmp" >/dev/null 2>&1
  mv -f "$ntfs.tmp" "$ntfs"
fi
if [ ! -f "$fat" ]; then
  truncate -s $((SECTORS * 512)) "$fat.tmp"
  mkfs.fat -F 32 -n SCAN_FAT32 "$fat.tmp" >/dev/null
  for d in Docs Photos Music; do MTOOLS_SKIP_CHECK=1 mmd -i "$fat.tmp" "::/$d" "::/$d/Inner"; done
  mv -f "$fat.tmp" "$fat"
fi

best() {  # best COMMAND...: the shortest wall time of three runs, in seconds
  local best="" t0 t1 t
  for _ in 1 2 3; do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

medians="$(dirname "$(readlink -f "$0")")/bench_medians.py"
mib=$((SECTORS / 2048))
for pair in "NTFS:$ntfs" "FAT32:$fat"; do
  kind=${pair%%:*}
  img=${pair#*:}
  cat "$img" >/dev/null  # into the page cache
  read -r t_qvx _ t_cat _ < <("$medians" "$qvx" analyze "$img" --range "0:$SECTORS" --kind "$kind" --mode advance --json -q -- cat "$img")
  t_fixed=$(best "$qvx" analyze "$img" --range "0:2048" --kind "$kind" --mode advance --json -q)
  printf '== Advance Search scan, %s, %d MiB in the page cache (medians of 3)\n' "$kind" "$mib"
  printf '   cat image > /dev/null  : %7.3f s  %6.0f MiB/s\n' "$t_cat" "$(awk -v t="$t_cat" -v m="$mib" 'BEGIN { print m / t }')"
  printf '   qvx analyze --mode advance: %7.3f s  %6.0f MiB/s (whole run; %.3f s of it start-up and output)\n' \
    "$t_qvx" "$(awk -v t="$t_qvx" -v m="$mib" 'BEGIN { print m / t }')" "$t_fixed"
  printf '   throughput qvx / cat   : %7.2f\n' "$(awk -v a="$t_qvx" -v b="$t_cat" 'BEGIN { print b / a }')"
done

for pair in "NTFS:$outdir/bench-ntfs.img" "FAT32:$outdir/bench-fat32.img"; do
  kind=${pair%%:*}
  img=${pair#*:}
  [ -f "$img" ] || continue
  sectors=$(( $(stat -c %s "$img") / 512 ))
  cat "$img" >/dev/null
  read -r t_qvx m_qvx t_cat _ < <("$medians" "$qvx" analyze "$img" --range "0:$sectors" --kind "$kind" --mode advance --json -q -- cat "$img")
  rows=$("$qvx" analyze "$img" --range "0:$sectors" --kind "$kind" --mode advance --json -q 2>/dev/null | wc -l)
  printf '== Advance Search, %s, %s (%d rows, medians of 3)\n' "$kind" "$(basename "$img")" "$rows"
  printf '   whole search: %.3f s, peak %d KiB; cat of the image: %.3f s; ratio qvx / cat: %.2f\n' \
    "$t_qvx" "$m_qvx" "$t_cat" "$(awk -v a="$t_qvx" -v b="$t_cat" 'BEGIN { print a / b }')"
done
