#!/usr/bin/env bash
# NTFS benchmark: qvx analyze --json against fls -r -p on one volume of about
# 200,000 files in 20,000 folders, both run here; prints both times, their
# ratio and both peak memory figures, and compares the two listings strictly
# (every item at its exact path with its size, nothing extra). The volume
# carries what real ones do once records fill up: Win32 + DOS name pairs,
# files whose names went to extension records (many streams), and files
# with several long hard links.
#
#   tools/bench_ntfs.sh BUILD_DIR
#
# The image (BUILD_DIR/images/bench-ntfs.img, sparse) is built once by
# tools/bench_ntfs_make.sh (mkntfs and an ntfs-3g mount; needs root and
# /dev/fuse; several minutes) and kept while its layout below is unchanged.
set -euo pipefail
build=$(readlink -f "${1:?usage: tools/bench_ntfs.sh BUILD_DIR}")
qvx="$build/src/cli/qvx"
[ -x "$qvx" ] || { echo "bench_ntfs: $qvx not found; build first" >&2; exit 2; }
for tool in mkntfs ntfs-3g fls python3; do
  command -v "$tool" >/dev/null || { echo "bench_ntfs: $tool not installed, skipped" >&2; exit 0; }
done

TOP=100           # folders under the root
SUB=199           # folders under each of them: 100 + 100 * 199 = 20,000 folders
FILES=10          # files per folder: 200,000 files
SECTORS=$((3072 * 2048))  # 3 GiB volume (sparse): streams and links need room

img="$build/images/bench-ntfs.img"
"$(dirname "$(readlink -f "$0")")/bench_ntfs_make.sh" "$img" "$TOP" "$SUB" "$FILES" "$SECTORS"


sectors=$(( $(stat -c %s "$img") / 512 ))
qvx_cmd=("$qvx" analyze "$img" --range "0:$sectors" --kind NTFS --json -q)
qvx_rows=$("${qvx_cmd[@]}" | wc -l)
fls_rows=$(fls -r -p "$img" | wc -l)
cat "$img" >/dev/null  # both read it from the page cache
read -r t_qvx m_qvx t_fls m_fls < <("$(dirname "$(readlink -f "$0")")/bench_medians.py" "${qvx_cmd[@]}" -- fls -r -p "$img")
printf '== NTFS bench: %s (medians of 3)\n' "$(basename "$img")"
printf '   qvx analyze --json : %8.3f s  peak %7d KiB  (%d rows)\n' "$t_qvx" "$m_qvx" "$qvx_rows"
printf '   fls -r -p          : %8.3f s  peak %7d KiB  (%d lines)\n' "$t_fls" "$m_fls" "$fls_rows"
printf '   ratio qvx / fls    : %8.2f\n' "$(awk -v a="$t_qvx" -v b="$t_fls" 'BEGIN { print (b > 0 ? a / b : 0) }')"
printf '   peak qvx / fls     : %8.2f\n' "$(awk -v a="$m_qvx" -v b="$m_fls" 'BEGIN { print (b > 0 ? a / b : 0) }')"
# Strict comparison with fls: every item at its exact path with its size.
python3 - "$qvx" "$img" "$sectors" "$(dirname "$(readlink -f "$0")")/../tests/integration" <<'PY'
import sys
sys.path.insert(0, sys.argv[4])
import check_ntfs_fls
ok = check_ntfs_fls.check(sys.argv[1], sys.argv[2], 0, int(sys.argv[3]), False, "   strict fls comparison")
sys.exit(0 if ok else 1)
PY
