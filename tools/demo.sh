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
