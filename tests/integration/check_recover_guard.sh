#!/usr/bin/env bash
# qvx recover refuses a destination on the disk being recovered: an NTFS
# image is attached to a loop device and mounted with ntfs-3g, then a
# recovery from the loop device, and one from the image file behind it,
# into a folder of that mount must both end with exit code 2 and leave the
# volume unchanged. A destination that is the image itself is refused too.
# Needs root, a free loop device and ntfs-3g; exit 77 otherwise.
#
#   check_recover_guard.sh QVX IMAGES_DIR
set -u
qvx=$1
images=$2
skip() { echo "skipped: $*"; exit 77; }

src="$images/vol-ntfs.img"
[ -f "$src" ] || skip "no $src"
first_end=$(awk '$1 == "volume" { print $4 ":" $5; exit }' "$src.manifest")

work=$(mktemp -d "${TMPDIR:-/tmp}/qvx-guard.XXXXXX")
loop=""
mounted=""
cleanup() {
  [ -n "$mounted" ] && { fusermount -u "$work/mnt" 2>/dev/null || umount "$work/mnt" 2>/dev/null; }
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail=0
check() {  # check LABEL EXPECTED_RC MESSAGE qvx-args...
  local label=$1 want=$2 message=$3; shift 3
  "$qvx" recover "$@" --range "$first_end" --kind NTFS --quiet >"$work/out.txt" 2>&1
  local rc=$?
  if [ "$rc" -ne "$want" ]; then
    echo "FAIL $label: exit $rc, expected $want"; cat "$work/out.txt"; fail=1
  elif [ -n "$message" ] && ! grep -q "$message" "$work/out.txt"; then
    echo "FAIL $label: no \"$message\" in:"; cat "$work/out.txt"; fail=1
  else
    echo "ok   $label"
  fi
}

# Image as its own destination: refused before anything is written.
cp --sparse=always "$src" "$work/disk.img"
before=$(sha256sum <"$work/disk.img")
check "destination is the source image" 2 "source image" "$work/disk.img" "$work/disk.img"
check "destination inside the source image path" 2 "source image" "$work/disk.img" "$work/disk.img/sub"
[ "$(sha256sum <"$work/disk.img")" = "$before" ] || { echo "FAIL the image changed"; fail=1; }

# Loop device + ntfs-3g mount.
if [ "$(id -u)" -ne 0 ] || ! command -v losetup >/dev/null || ! command -v ntfs-3g >/dev/null; then
  [ $fail -eq 0 ] && skip "needs root, losetup and ntfs-3g for the mounted-source cases"
  exit 1
fi
loop=$(losetup -f --show "$work/disk.img" 2>/dev/null) || { loop=""; skip "no loop device"; }
mkdir "$work/mnt"
ntfs-3g "$loop" "$work/mnt" 2>/dev/null || skip "ntfs-3g cannot mount here"
mounted=1
check "source is the loop device, destination on its mount" 2 "on the disk being recovered" "$loop" "$work/mnt/out"
check "source is the image behind the loop device" 2 "on the disk being recovered" "$work/disk.img" "$work/mnt/out"
[ -e "$work/mnt/out" ] && { echo "FAIL a folder was created on the source"; fail=1; }
check "destination elsewhere is accepted" 0 "" "$work/disk.img" "$work/elsewhere"
exit $fail
