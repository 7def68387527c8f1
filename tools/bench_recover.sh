#!/usr/bin/env bash
# Recovery throughput: qvx recover of a FAT32 volume holding 1 GiB of files
# (8 x 128 MiB of random data, written with mtools), against cat of the same
# image, to /dev/null (reading only) and into a file beside the recovered
# ones (reading and writing, as a recovery does). Prints MiB/s and checks
# the files came back identical.
#
#   tools/bench_recover.sh BUILD_DIR [MIB_PER_FILE]
set -euo pipefail
build=${1:?usage: tools/bench_recover.sh BUILD_DIR [MIB_PER_FILE]}
per_file=${2:-128}
files=8
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_recover: no $qvx" >&2; exit 1; }
command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null || { echo "bench_recover: needs mkfs.fat and mtools" >&2; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qvx-bench-recover.XXXXXX")
trap 'rm -rf "$work"' EXIT
img="$work/recover-bench.img"
total_mib=$((files * per_file))
vol_kib=$(((total_mib + total_mib / 8 + 64) * 1024))
mkfs.fat -F 32 -C "$img" "$vol_kib" >/dev/null
export MTOOLS_SKIP_CHECK=1
for i in $(seq 1 "$files"); do
  head -c "$((per_file * 1024 * 1024))" /dev/urandom >"$work/f$i.bin"
  mcopy -i "$img" "$work/f$i.bin" "::/f$i.bin"
  sha256sum <"$work/f$i.bin" >"$work/f$i.sha"
  rm -f "$work/f$i.bin"
done
sectors=$(($(stat -c %s "$img") / 512))
image_mib=$((sectors / 2048))

now() { date +%s.%N; }
rate() { awk -v mib="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? mib / s : 0) }'; }

cat "$img" >/dev/null  # both runs start from a warm page cache
t0=$(now)
"$qvx" recover "$img" "$work/out" --range "0:$sectors" --kind FAT32 --quiet 2>/dev/null
t1=$(now)
cat "$img" >/dev/null
t2=$(now)
cat "$img" >"$work/copy.img"
t3=$(now)
rm -f "$work/copy.img"
recover_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
cat_s=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')
copy_s=$(awk -v a="$t2" -v b="$t3" 'BEGIN { print b - a }')

ok=1
for i in $(seq 1 "$files"); do
  [ "$(sha256sum <"$work/out/f$i.bin" 2>/dev/null)" = "$(cat "$work/f$i.sha")" ] || ok=0
done
echo "recover: ${total_mib} MiB of files in ${recover_s}s = $(rate "$total_mib" "$recover_s") MiB/s (analysis included)"
echo "cat:     ${image_mib} MiB image in ${cat_s}s = $(rate "$image_mib" "$cat_s") MiB/s (to /dev/null)"
echo "cat:     ${image_mib} MiB image in ${copy_s}s = $(rate "$image_mib" "$copy_s") MiB/s (into a file)"
[ "$ok" = 1 ] && echo "contents: identical" || { echo "contents: DIFFER"; exit 1; }
