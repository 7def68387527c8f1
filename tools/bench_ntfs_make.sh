#!/usr/bin/env bash
# Makes an NTFS benchmark volume: TOP folders under the root, SUB folders under
# each of them, FILES files in every folder, on a sparse image of SECTORS
# 512-byte sectors. The volume carries what real ones do once records fill
# up: Win32 + DOS name pairs, files whose names went to extension records
# (many streams), and files with several long hard links.
#
#   tools/bench_ntfs_make.sh IMAGE TOP SUB FILES SECTORS
#
# Built with mkntfs and an ntfs-3g mount (needs root and /dev/fuse; minutes
# per 100,000 files). IMAGE is written only once complete (via IMAGE.tmp); a
# stamp IMAGE's folder/.NAME.stamp records the layout, and an image whose
# stamp matches is kept as it is.
set -euo pipefail
img=${1:?usage: tools/bench_ntfs_make.sh IMAGE TOP SUB FILES SECTORS}
TOP=${2:?}
SUB=${3:?}
FILES=${4:?}
SECTORS=${5:?}
for tool in mkntfs ntfs-3g python3; do
  command -v "$tool" >/dev/null || { echo "bench_ntfs_make: $tool not installed" >&2; exit 3; }
done
outdir=$(dirname "$img")
stamp="$outdir/.$(basename "$img").stamp"
hash="layout-2 $TOP $SUB $FILES $SECTORS"
mkdir -p "$outdir"
if [ -f "$img" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$hash" ]; then
  exit 0
fi
echo "bench_ntfs_make: building $img ($((TOP + TOP * SUB)) folders, $(((TOP + TOP * SUB) * FILES)) files)" >&2
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-ntfs.XXXXXX")
mnt="$work/mnt"
mkdir -p "$mnt"
cleanup() {
  if mountpoint -q "$mnt"; then fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
rm -f "$img.tmp"
truncate -s $((SECTORS * 512)) "$img.tmp"
mkntfs -F -Q -q -L BENCH_NTFS "$img.tmp" >/dev/null 2>&1
ntfs-3g -o big_writes,streams_interface=xattr "$img.tmp" "$mnt"
python3 - "$mnt" "$TOP" "$SUB" "$FILES" <<'PY'
import os, sys
root, top, sub, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def fill(d, tag):
    os.mkdir(d)
    for f in range(files):
        name = f"file_{f:02d}.txt" if f % 2 else f"Long name document {tag} {f:02d}.txt"
        path = os.path.join(d, name)
        with open(path, "w") as out:
            out.write(f"{tag} {f}\n" * (1 + f * 7))
        if f % 2 == 0:
            # A Win32 name with its DOS alias, as Windows writes them.
            os.setxattr(path, "system.ntfs_dos_name", f"LONGNA~{f // 2 + 1}.TXT".encode())
        if f == 0:
            # Enough streams to move the file name to an extension record.
            for k in range(30):
                os.setxattr(path, f"user.s{k:02d}", b"x" * 60)
        if f == 3:
            for k in range(4):
                os.link(path, os.path.join(d, f"{name} hard link {k} with a long name to fill the record"))
for t in range(top):
    top_dir = os.path.join(root, f"Folder {t:03d}")
    fill(top_dir, f"t{t}")
    for s in range(sub):
        fill(os.path.join(top_dir, f"sub_{s:03d}"), f"t{t}s{s}")
PY
sync
fusermount -u "$mnt" 2>/dev/null || umount "$mnt"
mv -f "$img.tmp" "$img"
echo "$hash" >"$stamp"
