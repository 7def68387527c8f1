#!/usr/bin/env bash
# FAT32 benchmark: qvx analyze against fls -r -p on one volume of about
# 50,000 files in 5,000 folders, both run here, and their ratio.
#
#   tools/bench_fat.sh BUILD_DIR
#
# The image (BUILD_DIR/images/bench-fat32.img, sparse) is built once with
# mkfs.fat and mtools (about two minutes) and kept while its layout below is
# unchanged.
set -euo pipefail
build=$(readlink -f "${1:?usage: tools/bench_fat.sh BUILD_DIR}")
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_fat: $qvx not found; build first" >&2; exit 2; }
for tool in mkfs.fat mcopy fls; do
  command -v "$tool" >/dev/null || { echo "bench_fat: $tool not installed, skipped" >&2; exit 0; }
done

TOP=50            # folders under the root
SUB=99            # folders under each of them: 50 + 50 * 99 = 5,000 folders
FILES=10          # files per folder: 50,000 files
SECTORS=$((512 * 2048))  # 512 MiB, one sector per cluster

outdir="$build/images"
img="$outdir/bench-fat32.img"
stamp="$outdir/.bench-fat32.img.stamp"
hash="layout-1 $TOP $SUB $FILES $SECTORS"
mkdir -p "$outdir"

if [ ! -f "$img" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$hash" ]; then
  echo "bench_fat: building $img ($((TOP + TOP * SUB)) folders, $(((TOP + TOP * SUB) * FILES)) files)" >&2
  work=$(mktemp -d "${TMPDIR:-/tmp}/bench-fat.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  python3 - "$work/stage" "$TOP" "$SUB" "$FILES" <<'PY'
import os, sys
root, top, sub, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def fill(d, tag):
    os.makedirs(d, exist_ok=True)
    for f in range(files):
        name = f"file_{f:02d}.txt" if f % 2 else f"Long name document {tag} {f:02d}.txt"
        with open(os.path.join(d, name), "w") as out:
            out.write(f"{tag} {f}\n" * (1 + f * 7))
for t in range(top):
    top_dir = os.path.join(root, f"Folder {t:02d}")
    fill(top_dir, f"t{t}")
    for s in range(sub):
        fill(os.path.join(top_dir, f"sub_{s:02d}"), f"t{t}s{s}")
PY
  rm -f "$img.tmp"
  truncate -s $((SECTORS * 512)) "$img.tmp"
  mkfs.fat -F 32 -s 1 -n BENCH_FAT32 -i 51564659 "$img.tmp" >/dev/null
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img.tmp" "$work/stage/"* ::/
  mv -f "$img.tmp" "$img"
  echo "$hash" >"$stamp"
fi


sectors=$(( $(stat -c %s "$img") / 512 ))
qvx_rows=$("$qvx" analyze "$img" --range "0:$sectors" --kind FAT32 --json -q | wc -l)
fls_rows=$(fls -r -p "$img" | wc -l)
cat "$img" >/dev/null  # both read it from the page cache
read -r t_qvx m_qvx t_fls m_fls < <("$(dirname "$(readlink -f "$0")")/bench_medians.py" \
  "$qvx" analyze "$img" --range "0:$sectors" --kind FAT32 --json -q -- fls -r -p "$img")
printf '== FAT32 bench: %s (medians of 3)\n' "$(basename "$img")"
printf '   qvx analyze --json : %8.3f s  peak %7d KiB  (%d rows)\n' "$t_qvx" "$m_qvx" "$qvx_rows"
printf '   fls -r -p          : %8.3f s  peak %7d KiB  (%d lines)\n' "$t_fls" "$m_fls" "$fls_rows"
printf '   ratio qvx / fls    : %8.2f\n' "$(awk -v a="$t_qvx" -v b="$t_fls" 'BEGIN { print (b > 0 ? a / b : 0) }')"
