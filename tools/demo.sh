#!/usr/bin/env bash
# Builds the demo disk (three primary partitions and two logical drives) and
# lists its partitions with qvx.
#
#   tools/demo.sh BUILD_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(readlink -f "$1")
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
qvx="$build/src/cli/qvx"
img="$build/images/demo.img"

if [ ! -x "$qvx" ]; then
  echo "demo: $qvx not found; build first (cmake --build $build)" >&2
  exit 2
fi

"$here/mkimages.sh" "$build/images" demo.img

echo "== QVX demo: partitions of $img"
echo "   MBR: NTFS, FAT32, FAT16 primaries; extended chain: FAT16, NTFS logical drives"
echo
echo "\$ qvx partitions $img"
"$qvx" partitions "$img"
echo
echo "\$ qvx partitions $img --json"
"$qvx" partitions "$img" --json

# The FAT volumes of the demo disk: the Standard Search of each, its folder
# tree with every folder's files (deleted folders and files included).
for part in 2 3 4; do
  echo
  echo "\$ qvx analyze $img --partition $part"
  "$qvx" analyze "$img" --partition "$part" -q
done
echo
echo "\$ qvx analyze $img --partition 3 --json"
"$qvx" analyze "$img" --partition 3 --json -q

# The NTFS volumes of the demo disk (primary 1 and logical 5): the MFT walk,
# deleted folders and files, the synthetic QVX_Miscellaneous folder.
for part in 1 5; do
  echo
  echo "\$ qvx analyze $img --partition $part"
  "$qvx" analyze "$img" --partition "$part" -q
done
echo
echo "\$ qvx analyze $img --partition 1 --json"
"$qvx" analyze "$img" --partition 1 --json -q

# Recovering the deleted files of an NTFS and a FAT32 volume into a
# temporary folder: each file's status, then the summary and the report.
out=$(mktemp -d "${TMPDIR:-/tmp}/qvx-demo-recover.XXXXXX")
trap 'rm -rf "$out"' EXIT
for part in 1 2; do
  echo
  echo "\$ qvx recover $img --partition $part $out/p$part --deleted-only --json"
  "$qvx" recover "$img" --partition "$part" "$out/p$part" --deleted-only --json -q || true
  echo "\$ find $out/p$part -type f"
  (cd "$out/p$part" && find . -type f | sort)
done
