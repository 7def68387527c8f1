#!/usr/bin/env bash
# Builds the small disk images the integration tests and the demo run on.
#
#   tools/mkimages.sh OUTDIR [NAME...]
#
# NAME is an image name such as demo.img (or demo); without names every
# image is built. An image is rebuilt only when it is missing or was made by
# a different version of this script (OUTDIR/.NAME.stamp holds the script's
# hash). Beside every image, OUTDIR/NAME.manifest records what it holds:
#
#   image NAME SECTORS
#   table mbr|gpt|search               where the listed volumes come from: the
#                                      PC partition table (also when the line
#                                      is missing), the GUID partition table,
#                                      or the lost partition search
#   volume N FSNAME FIRST END          one per partition the reader lists, in
#                                      list order (N = 1..n); N = 0 for a
#                                      volume image without a partition table
#   dir  N live|deleted - - PATH
#   file N live|deleted SIZE SHA256 PATH
#   ads  N live SIZE SHA256 PATH:STREAM
#   # free text
#
# dir/file/ads lines of a volume the reader does not list carry a negative N
# (minus the slot's position in the layout). On FAT a deleted entry loses
# its first character (0xE5) unless its long name survives: tiny.txt and
# letter.txt have only short entries and read back as "?iny.txt", "?etter.txt".
#
# Sector numbers are 512-byte LBAs from the start of the image, END is
# exclusive. Deleted entries list what was written before the deletion.
#
# Volumes are made as separate sparse files (mkfs.fat, mkntfs), filled with
# mtools (FAT) or through an ntfs-3g mount (NTFS, needs root and /dev/fuse),
# then copied into a disk whose MBR and extended chain sfdisk writes.
set -euo pipefail

SCRIPT_PATH=$(readlink -f "${BASH_SOURCE[0]}")
ALL_IMAGES=(demo.img mixed-types.img chain3.img near-end.img
            vol-ntfs.img vol-fat16.img vol-fat32.img vol-ntfs-names.img)

# GUID partition tables, intact and damaged, and a PC disk whose MBR is gone.
ALL_IMAGES+=(gpt.img gpt-nopri.img gpt-lost.img lost-mbr.img)

# A small disk of every volume kind, for conversion into image containers.
ALL_IMAGES+=(containers.img)

export MTOOLS_SKIP_CHECK=1
export LC_ALL=C.UTF-8

die() { echo "mkimages: $*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Scratch space and cleanup. Every ntfs-3g mount is recorded so that an error
# anywhere still unmounts it before the temporary folder goes away.
WORK=""
MOUNTS=()
cleanup() {
  local m
  for m in "${MOUNTS[@]}"; do
    if mountpoint -q "$m" 2>/dev/null; then
      fusermount -u "$m" 2>/dev/null || umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    fi
  done
  if [ -n "$WORK" ] && [ -d "$WORK" ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------------------
# Manifest helpers. MANIFEST names the manifest being written, VOLNO the
# partition number the current volume will be listed under.
MANIFEST=""
VOLNO=0

note() { echo "# $*" >>"$MANIFEST"; }

# gen_file PATH SIZE SEED: deterministic content of exactly SIZE bytes.
gen_file() {
  local path=$1 size=$2 seed=$3
  if [ "$size" -eq 0 ]; then : >"$path"; return; fi
  yes "$seed $size qvx test data line" | head -c "$size" >"$path" || true
  [ "$(stat -c %s "$path")" -eq "$size" ] || die "gen_file $path"
}

record_file() {  # record_file STATE SRC PATH
  local sum
  sum=$(sha256sum "$2" | cut -d' ' -f1)
  echo "file $VOLNO $1 $(stat -c %s "$2") $sum $3" >>"$MANIFEST"
}
record_dir() { echo "dir $VOLNO $1 - - $2" >>"$MANIFEST"; }

# The content every volume gets. The same tree is written to FAT and NTFS so
# that the analysis results of both can be checked against one list:
#   nested folders, a 0-byte file, small and multi-cluster files, a file of a
#   few MiB, long names of exactly 13 and 26 characters (one and two long-name
#   slots on FAT), an accented name, deleted files, a deleted folder holding
#   a deleted folder.
NAME13="Thirteen_.txt"
NAME26="Twenty_six_chars_name1.txt"
ACCENTED="Café_menu.txt"
if [ ${#NAME13} -ne 13 ] || [ ${#NAME26} -ne 26 ]; then die "long-name lengths"; fi

# make_content DIR TAG: fills DIR (a staging folder) with the live tree.
# Sizes scale a little with TAG so that volumes differ.
make_content() {
  local d=$1 tag=$2
  mkdir -p "$d/Docs/Reports/2009" "$d/Photos/Holiday" "$d/Empty folder"
  gen_file "$d/Docs/empty.txt" 0 "$tag"
  gen_file "$d/Docs/small.txt" 100 "$tag-small"
  gen_file "$d/Docs/$NAME13" 1300 "$tag-13"
  gen_file "$d/Docs/$NAME26" 2600 "$tag-26"
  gen_file "$d/Docs/$ACCENTED" 321 "$tag-accent"
  gen_file "$d/Docs/Reports/2009/summary.doc" 20000 "$tag-summary"
  gen_file "$d/Docs/Reports/2009/figures.xls" 9000 "$tag-figures"
  gen_file "$d/Photos/Holiday/beach.jpg" 3145728 "$tag-beach"
  gen_file "$d/Photos/Holiday/sunset.jpg" 65536 "$tag-sunset"
  gen_file "$d/Photos/readme.txt" 700 "$tag-readme"
  gen_file "$d/README.TXT" 45 "$tag-root"
}

# make_deleted_content DIR TAG: files and folders that are written and then
# deleted.
make_deleted_content() {
  local d=$1 tag=$2
  mkdir -p "$d/Trash/Inner" "$d/Docs" "$d/Photos/Holiday"
  gen_file "$d/Docs/old_draft.txt" 5000 "$tag-draft"
  gen_file "$d/Photos/Holiday/deleted_big.bin" 1048576 "$tag-delbig"
  gen_file "$d/Trash/letter.txt" 1500 "$tag-letter"
  gen_file "$d/Trash/Inner/notes_deleted.txt" 3000 "$tag-notes"
  gen_file "$d/Trash/Inner/tiny.txt" 10 "$tag-tiny"
}

# Paths (relative) of what make_deleted_content writes, in deletion order;
# the folders go last and inner before outer.
DELETED_FILES=(Docs/old_draft.txt Photos/Holiday/deleted_big.bin
               Trash/Inner/notes_deleted.txt Trash/Inner/tiny.txt Trash/letter.txt)
DELETED_DIRS=(Trash/Inner Trash)

# record_tree STAGE STATE: manifest lines for every folder and file in STAGE.
record_tree() {
  local stage=$1 state=$2 p
  while IFS= read -r -d '' p; do
    record_dir "$state" "/${p#"$stage"/}"
  done < <(find "$stage" -mindepth 1 -type d -print0 | sort -z)
  while IFS= read -r -d '' p; do
    record_file "$state" "$p" "/${p#"$stage"/}"
  done < <(find "$stage" -type f -print0 | sort -z)
}

# ---------------------------------------------------------------------------
# Volumes.

# make_fat_volume FILE BITS SIZE_SECTORS LABEL HIDDEN [CLUSTER_SECTORS]
make_fat_volume() {
  local file=$1 bits=$2 sectors=$3 label=$4 hidden=$5 spc=${6:-}
  rm -f "$file"
  truncate -s $((sectors * 512)) "$file"
  local args=(-F "$bits" -n "$label" -h "$hidden" -i 51564658)
  [ -n "$spc" ] && args+=(-s "$spc")
  mkfs.fat "${args[@]}" "$file" >/dev/null
}

# make_ntfs_volume FILE SIZE_SECTORS LABEL HIDDEN
make_ntfs_volume() {
  local file=$1 sectors=$2 label=$3 hidden=$4
  rm -f "$file"
  truncate -s $((sectors * 512)) "$file"
  mkntfs -F -Q -q -L "$label" -p "$hidden" -H 255 -S 63 "$file" >/dev/null 2>&1 \
    || die "mkntfs $file"
}

# populate_fat FILE TAG: copies the staged tree into the FAT volume, then
# writes and deletes the deleted part (mdel / mdeltree mark the entries 0xE5
# and free the clusters but leave the data in place).
populate_fat() {
  local img=$1 tag=$2
  local stage=$WORK/stage-$tag del=$WORK/del-$tag
  rm -rf "$stage" "$del"; mkdir -p "$stage" "$del"
  make_content "$stage" "$tag"
  make_deleted_content "$del" "$tag"
  record_tree "$stage" live
  local p
  # Folders first (parents before children), then the files.
  while IFS= read -r p; do
    mmd -i "$img" "::/${p#"$stage"/}"
  done < <(find "$stage" -mindepth 1 -type d | sort)
  while IFS= read -r p; do
    mcopy -i "$img" "$p" "::/${p#"$stage"/}"
  done < <(find "$stage" -type f | sort)
  # The deleted part: folders that do not exist yet, then files.
  for p in Trash Trash/Inner; do mmd -i "$img" "::/$p"; done
  for p in "${DELETED_FILES[@]}"; do mcopy -i "$img" "$del/$p" "::/$p"; done
  for p in "${DELETED_FILES[@]}"; do record_file deleted "$del/$p" "/$p"; done
  for p in "${DELETED_DIRS[@]}"; do record_dir deleted "/$p"; done
  # Loose files go one by one; the Trash tree goes at once with mdeltree so
  # that Inner stays a deleted folder inside a deleted folder.
  mdel -i "$img" "::/Docs/old_draft.txt" "::/Photos/Holiday/deleted_big.bin"
  mdeltree -i "$img" "::/Trash"
}

# populate_ntfs FILE TAG: mounts the volume with ntfs-3g, writes the tree,
# an alternate data stream and the deleted part, removes that, unmounts.
populate_ntfs() {
  local img=$1 tag=$2
  local stage=$WORK/stage-$tag del=$WORK/del-$tag mnt=$WORK/mnt-$tag
  rm -rf "$stage" "$del"; mkdir -p "$stage" "$del" "$mnt"
  make_content "$stage" "$tag"
  make_deleted_content "$del" "$tag"
  record_tree "$stage" live
  local p
  for p in "${DELETED_FILES[@]}"; do record_file deleted "$del/$p" "/$p"; done
  for p in "${DELETED_DIRS[@]}"; do record_dir deleted "/$p"; done
  local ads="$WORK/ads-$tag"
  gen_file "$ads" 64 "$tag-zone"
  echo "ads $VOLNO live 64 $(sha256sum "$ads" | cut -d' ' -f1) /Docs/small.txt:Zone.Identifier" >>"$MANIFEST"

  MOUNTS+=("$mnt")
  ntfs-3g -o streams_interface=xattr "$img" "$mnt" || die "ntfs-3g mount of $img failed (needs root and /dev/fuse)"
  # Copied one by one in a fixed order, not by cp -r: that follows the
  # staging folder's readdir order, which on ext4 depends on the file
  # system's hash seed, and the MFT record numbers (and so the order the
  # volume lists its files in) would differ from machine to machine.
  while IFS= read -r p; do
    mkdir -p "$mnt/${p#"$stage"/}"
  done < <(find "$stage" -mindepth 1 -type d | LC_ALL=C sort)
  while IFS= read -r p; do
    cp "$p" "$mnt/${p#"$stage"/}"
  done < <(find "$stage" -type f | LC_ALL=C sort)
  setfattr -n user.Zone.Identifier -v "$(cat "$ads")" "$mnt/Docs/small.txt"
  mkdir -p "$mnt/Trash/Inner"
  for p in "${DELETED_FILES[@]}"; do cp "$del/$p" "$mnt/$p"; done
  sync
  for p in "${DELETED_FILES[@]}"; do rm -f "$mnt/$p"; done
  rm -rf "$mnt/Trash"
  unmount_ntfs "$mnt"
}

unmount_ntfs() {
  local mnt=$1 i
  for i in 1 2 3 4 5 6 7 8 9 10; do
    if ! mountpoint -q "$mnt"; then return 0; fi
    fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true
    mountpoint -q "$mnt" || return 0
    sleep 0.2
  done
  die "cannot unmount $mnt"
}

# make_volume KIND FILE SECTORS LABEL HIDDEN TAG: KIND is ntfs, fat16, fat32,
# fat12 or blank (no file system, zero sectors).
make_volume() {
  local kind=$1 file=$2 sectors=$3 label=$4 hidden=$5 tag=$6
  case $kind in
    ntfs)  make_ntfs_volume "$file" "$sectors" "$label" "$hidden"; populate_ntfs "$file" "$tag" ;;
    fat16) # 2 KiB clusters, 1 KiB on small volumes: FAT16 needs >= 4085 clusters.
           make_fat_volume "$file" 16 "$sectors" "$label" "$hidden" $((sectors >= 32768 ? 4 : 2))
           populate_fat "$file" "$tag" ;;
    fat32) make_fat_volume "$file" 32 "$sectors" "$label" "$hidden" 1; populate_fat "$file" "$tag" ;;
    fat12) make_fat_volume "$file" 12 "$sectors" "$label" "$hidden"; populate_fat "$file" "$tag" ;;
    blank) rm -f "$file"; truncate -s $((sectors * 512)) "$file" ;;
    *) die "unknown volume kind $kind" ;;
  esac
}

# ---------------------------------------------------------------------------
# Disks.
#
# assemble_mbr_disk OUT TOTAL_SECTORS ENTRY...
# Each ENTRY is "slot:type:start:sectors:kind:label:listed-name" where slot is
# p1..p4 for a primary, e for the extended container (kind "-") or l for a
# logical drive (in chain order). listed-name is the name the partition reader
# lists ("-" when it lists nothing for that slot). The partitions are written
# with sfdisk, then each volume is built and copied in at the start sfdisk
# reports.
assemble_mbr_disk() {
  local out=$1 total=$2; shift 2
  local tmp="$out.tmp"
  rm -f "$tmp"
  truncate -s $((total * 512)) "$tmp"

  local script="label: dos
unit: sectors
"
  local entry slot type start sectors kind label listed
  for entry in "$@"; do
    IFS=: read -r slot type start sectors kind label listed <<<"$entry"
    script+="start=$start, size=$sectors, type=$type
"
  done
  printf '%s' "$script" | sfdisk -q --no-reread --no-tell-kernel -w never "$tmp" >/dev/null \
    || die "sfdisk failed for $out"

  # Check that sfdisk put every partition where it was asked to.
  local actual
  actual=$(sfdisk -d "$tmp" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\).*/\1:\2/p')
  local want=""
  for entry in "$@"; do
    IFS=: read -r slot type start sectors kind label listed <<<"$entry"
    want+="$start:$sectors"$'\n'
  done
  [ "$actual"$'\n' = "$want" ] || die "sfdisk layout of $out differs:"$'\n'"$actual"$'\n'"wanted:"$'\n'"$want"

  echo "image $(basename "$out") $total" >>"$MANIFEST"
  local no=0 vol i=0
  for entry in "$@"; do
    IFS=: read -r slot type start sectors kind label listed <<<"$entry"
    i=$((i + 1))
    [ "$kind" = "-" ] && { note "slot $slot type 0x$type start $start sectors $sectors (extended)"; continue; }
    if [ "$listed" != "-" ]; then
      no=$((no + 1)); VOLNO=$no
      echo "volume $no $listed $start $((start + sectors))" >>"$MANIFEST"
    else
      VOLNO=-$i
      note "slot $slot type 0x$type start $start sectors $sectors holds $kind: not listed (its entries use volume $VOLNO)"
    fi
    vol="$WORK/vol-$i"
    make_volume "$kind" "$vol" "$sectors" "$label" "$start" "$(basename "$out" .img)-$i"
    dd if="$vol" of="$tmp" bs=1M seek=$((start * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
    rm -f "$vol"
  done
  mv -f "$tmp" "$out"
}

# make_volume_image OUT KIND SECTORS LABEL NAME: a single volume, no table.
make_volume_image() {
  local out=$1 kind=$2 sectors=$3 label=$4 name=$5
  echo "image $(basename "$out") $sectors" >>"$MANIFEST"
  echo "volume 0 $name 0 $sectors" >>"$MANIFEST"
  VOLNO=0
  make_volume "$kind" "$out.tmp" "$sectors" "$label" 0 "$(basename "$out" .img)"
  mv -f "$out.tmp" "$out"
}

# ---------------------------------------------------------------------------
# The images. Sizes in sectors; 2048 sectors = 1 MiB. Every primary slot
# starts well over 24,576 sectors (12 MiB) before the end of the disk, except
# in near-end.img where that is the point.

MiB=2048

build_demo() {  # three primaries and two logical drives
  assemble_mbr_disk "$1" $((114 * MiB)) \
    "p1:7:$((1 * MiB)):$((16 * MiB)):ntfs:DEMO_NTFS:NTFS" \
    "p2:c:$((17 * MiB)):$((34 * MiB)):fat32:DEMO_FAT32:FAT32" \
    "p3:6:$((51 * MiB)):$((16 * MiB)):fat16:DEMO_FAT16:FAT16" \
    "e:5:$((67 * MiB)):$((34 * MiB)):-:-:-" \
    "l:6:$((68 * MiB)):$((16 * MiB)):fat16:LOG_FAT16:FAT16" \
    "l:7:$((85 * MiB)):$((16 * MiB)):ntfs:LOG_NTFS:NTFS"
}

build_mixed_types() {  # slot types that do not match the volumes
  note "type bytes lie: the boot-sector signature decides (FAT32 at 82, FAT16 at 54, NTFS at 3)"
  note "p3 is a FAT12 volume in a type 0x01 primary slot: not listed; the same in the chain is listed as FAT16"
  assemble_mbr_disk "$1" $((110 * MiB)) \
    "p1:83:$((1 * MiB)):$((34 * MiB)):fat32:MIX_FAT32:FAT32" \
    "p2:7:$((35 * MiB)):$((16 * MiB)):fat16:MIX_FAT16:FAT16" \
    "p3:1:$((51 * MiB)):$((8 * MiB)):fat12:MIX_P_FAT12:-" \
    "e:f:$((59 * MiB)):$((38 * MiB)):-:-:-" \
    "l:1:$((60 * MiB)):$((8 * MiB)):fat12:MIX_L_FAT12:FAT16" \
    "l:83:$((69 * MiB)):$((8 * MiB)):blank:-:-" \
    "l:b:$((78 * MiB)):$((19 * MiB)):ntfs:MIX_NTFS:NTFS"
}

build_chain3() {  # extended container in slot 2, three logical drives
  note "the extended slot is p2 and p3 lies after it on disk: primaries are listed before the logical drives"
  assemble_mbr_disk "$1" $((124 * MiB)) \
    "p1:7:$((1 * MiB)):$((8 * MiB)):ntfs:C3_NTFS:NTFS" \
    "p2:f:$((9 * MiB)):$((84 * MiB)):-:-:-" \
    "p3:e:$((93 * MiB)):$((16 * MiB)):fat16:C3_P_FAT16:FAT16" \
    "l:6:$((10 * MiB)):$((16 * MiB)):fat16:C3_L_FAT16:FAT16" \
    "l:c:$((27 * MiB)):$((34 * MiB)):fat32:C3_L_FAT32:FAT32" \
    "l:7:$((62 * MiB)):$((31 * MiB)):ntfs:C3_L_NTFS:NTFS"
}

build_near_end() {  # second primary starts 20,000 sectors before the end
  local total=$((40 * MiB))
  note "p2 starts 20000 sectors before the disk end (< 24576): the table counts as corrupted"
  note "after p1 is listed; what follows comes from the lost-partition search"
  assemble_mbr_disk "$1" "$total" \
    "p1:6:$((1 * MiB)):$((16 * MiB)):fat16:NE_FAT16:FAT16" \
    "p2:6:$((total - 20000)):16000:fat16:NE_FAT16B:-"
}

build_containers() {  # under 64 MiB: converted to E01, VMDK, VHD, VHDX, qcow2 and split raw by the tests
  note "converted by the container tests: every container must read as this raw disk does"
  assemble_mbr_disk "$1" $((62 * MiB)) \
    "p1:7:$((1 * MiB)):$((8 * MiB)):ntfs:CT_NTFS:NTFS" \
    "e:5:$((9 * MiB)):$((10 * MiB)):-:-:-" \
    "p3:6:$((19 * MiB)):$((8 * MiB)):fat16:CT_FAT16:FAT16" \
    "p4:c:$((27 * MiB)):$((34 * MiB)):fat32:CT_FAT32:FAT32" \
    "l:7:$((10 * MiB)):$((8 * MiB)):ntfs:CT_LOG_NTFS:NTFS"
}

build_image() {
  local name=$1 out=$2
  case $name in
    demo.img)        build_demo "$out" ;;
    mixed-types.img) build_mixed_types "$out" ;;
    chain3.img)      build_chain3 "$out" ;;
    near-end.img)    build_near_end "$out" ;;
    vol-ntfs.img)    make_volume_image "$out" ntfs $((16 * MiB)) VOL_NTFS NTFS ;;
    vol-fat16.img)   make_volume_image "$out" fat16 $((16 * MiB)) VOL_FAT16 FAT16 ;;
    vol-fat32.img)   make_volume_image "$out" fat32 $((34 * MiB)) VOL_FAT32 FAT32 ;;
    vol-ntfs-names.img) build_ntfs_names "$out" ;;
    gpt.img)         build_gpt "$out" ;;
    gpt-nopri.img)   build_gpt_damaged "$out" primary ;;
    gpt-lost.img)    build_gpt_damaged "$out" all ;;
    lost-mbr.img)    build_lost_mbr "$out" ;;
    containers.img)  build_containers "$out" ;;
    *) die "unknown image $name (known: ${ALL_IMAGES[*]})" ;;
  esac
}

# populate_ntfs_names FILE TAG: an NTFS volume for the Standard Search
# checks: Win32 + DOS name pairs (system.ntfs_dos_name) beside the POSIX
# names ntfs-3g writes, deep nesting, fragmented files (written into the
# holes left by deleting every other small file), a deleted folder holding
# a deleted folder, and new files that take over records of deleted ones.
populate_ntfs_names() {
  local img=$1 tag=$2 i
  local mnt=$WORK/mnt-$tag
  mkdir -p "$mnt"
  MOUNTS+=("$mnt")
  ntfs-3g "$img" "$mnt" || die "ntfs-3g mount of $img failed (needs root and /dev/fuse)"
  mkdir -p "$mnt/Deep/L1/L2/L3/L4/L5" "$mnt/Names" "$mnt/Frag/fill"
  gen_file "$mnt/Deep/L1/L2/L3/L4/L5/bottom.txt" 777 "$tag-bottom"
  gen_file "$mnt/Names/Long file name.txt" 1234 "$tag-long"
  setfattr -n system.ntfs_dos_name -v "LONGFI~1.TXT" "$mnt/Names/Long file name.txt"
  gen_file "$mnt/Names/Another Long Name.doc" 4096 "$tag-doc"
  setfattr -n system.ntfs_dos_name -v "ANOTHE~1.DOC" "$mnt/Names/Another Long Name.doc"
  gen_file "$mnt/Names/short.txt" 1 "$tag-short"
  for i in $(seq 1 64); do gen_file "$mnt/Frag/fill/f$i.bin" 65536 "$tag-fill$i"; done
  sync
  for i in $(seq 1 2 64); do rm -f "$mnt/Frag/fill/f$i.bin"; done
  sync
  gen_file "$mnt/Frag/fragmented.bin" $((3 * 1024 * 1024 + 5)) "$tag-frag"
  mkdir -p "$mnt/Gone/Sub"
  gen_file "$mnt/Gone/Sub/lost.txt" 2222 "$tag-lost"
  gen_file "$mnt/Gone/gone.txt" 3333 "$tag-gone"
  sync
  rm -rf "$mnt/Gone"
  sync
  for i in $(seq 1 8); do gen_file "$mnt/Names/new$i.txt" 50 "$tag-new$i"; done
  unmount_ntfs "$mnt"
}

build_ntfs_names() {
  local out=$1 sectors=$((24 * MiB))
  echo "image $(basename "$out") $sectors" >>"$MANIFEST"
  echo "volume 0 NTFS 0 $sectors" >>"$MANIFEST"
  VOLNO=0
  make_ntfs_volume "$out.tmp" "$sectors" VOL_NTFS_NAMES 0
  populate_ntfs_names "$out.tmp" ntfs-names
  mv -f "$out.tmp" "$out"
}

# ---------------------------------------------------------------------------
# GUID partition tables and lost partitions.

# assemble_gpt_disk OUT TOTAL_SECTORS ENTRY...
# Like assemble_mbr_disk for a GUID partition table: each ENTRY is
# "type:start:sectors:kind:label:listed-name", type a GPT type GUID or a
# sfdisk alias, the partitions in entry order.
assemble_gpt_disk() {
  local out=$1 total=$2; shift 2
  local tmp="$out.tmp"
  rm -f "$tmp"
  truncate -s $((total * 512)) "$tmp"

  local script="label: gpt
unit: sectors
"
  local entry type start sectors kind label listed
  for entry in "$@"; do
    IFS=: read -r type start sectors kind label listed <<<"$entry"
    script+="start=$start, size=$sectors, type=$type
"
  done
  printf '%s' "$script" | sfdisk -q --no-reread --no-tell-kernel -w never "$tmp" >/dev/null \
    || die "sfdisk failed for $out"
  local actual want=""
  actual=$(sfdisk -d "$tmp" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\).*/\1:\2/p')
  for entry in "$@"; do
    IFS=: read -r type start sectors kind label listed <<<"$entry"
    want+="$start:$sectors"$'\n'
  done
  [ "$actual"$'\n' = "$want" ] || die "sfdisk layout of $out differs:"$'\n'"$actual"$'\n'"wanted:"$'\n'"$want"

  echo "image $(basename "$out") $total" >>"$MANIFEST"
  echo "table gpt" >>"$MANIFEST"
  local no=0 vol i=0
  for entry in "$@"; do
    IFS=: read -r type start sectors kind label listed <<<"$entry"
    i=$((i + 1))
    if [ "$listed" != "-" ]; then
      no=$((no + 1)); VOLNO=$no
      echo "volume $no $listed $start $((start + sectors))" >>"$MANIFEST"
    else
      VOLNO=-$i
      note "entry $i type $type start $start sectors $sectors holds $kind: not listed (its entries use volume $VOLNO)"
    fi
    vol="$WORK/vol-$i"
    make_volume "$kind" "$vol" "$sectors" "$label" "$start" "$(basename "$out" .img)-$i"
    dd if="$vol" of="$tmp" bs=1M seek=$((start * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
    rm -f "$vol"
  done
  mv -f "$tmp" "$out"
}

# zero_sector IMAGE LBA
zero_sector() {
  dd if=/dev/zero of="$1" bs=512 seek="$2" count=1 conv=notrunc status=none
}

# boot_sector_size IMAGE LBA NAME: the volume size the boot sector at LBA
# records, in sectors (NTFS: the 64-bit count at 40, one short of its
# partition since the last sector holds the backup boot sector; FAT: the
# 32-bit count at 32, or the 16-bit one at 19 on small volumes).
boot_sector_size() {
  local img=$1 lba=$2 name=$3 n
  case $name in
    NTFS) n=$(od -An -tu8 -j $((lba * 512 + 40)) -N8 "$img") ;;
    *)    n=$(od -An -tu4 -j $((lba * 512 + 32)) -N4 "$img")
          [ "$n" -ne 0 ] || n=$(od -An -tu2 -j $((lba * 512 + 19)) -N2 "$img") ;;
  esac
  echo $((n))
}

# as_search_manifest IMAGE: once the tables are gone, the lost partition
# search lists the volumes (in these images disk order is also the order the
# search finds them in) from their boot sectors: END becomes FIRST plus the
# size the boot sector records.
as_search_manifest() {
  local img=$1 tmp="$MANIFEST.search" w
  : >"$tmp"
  while IFS= read -r line; do
    read -r -a w <<<"$line"
    case ${w[0]:-} in
      table) echo "table search" >>"$tmp" ;;
      volume) echo "volume ${w[1]} ${w[2]} ${w[3]} $((w[3] + $(boot_sector_size "$img" "${w[3]}" "${w[2]}")))" >>"$tmp" ;;
      *) echo "$line" >>"$tmp" ;;
    esac
  done <"$MANIFEST"
  grep -q '^table ' "$tmp" || sed -i '1a table search' "$tmp"
  mv -f "$tmp" "$MANIFEST"
}

# The GPT disk: NTFS, FAT32 and FAT16 at 1 MiB boundaries in entry order.
# The FAT16 volume sits in a Linux-typed entry and a basic-data entry holds no
# file system: the boot sector decides, not the type GUID.
GPT_BASIC=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
GPT_LINUX=0FC63DAF-8483-4772-8E79-3D69D8477DE4
build_gpt() {
  note "GUID partition table (protective MBR, headers at LBA 1 and at the last sector)"
  note "entry 3 is Linux-typed but holds FAT16; entry 4 is basic data without a file system"
  assemble_gpt_disk "$1" $((74 * MiB)) \
    "$GPT_BASIC:$((1 * MiB)):$((16 * MiB)):ntfs:GPT_NTFS:NTFS" \
    "$GPT_BASIC:$((17 * MiB)):$((34 * MiB)):fat32:GPT_FAT32:FAT32" \
    "$GPT_LINUX:$((51 * MiB)):$((16 * MiB)):fat16:GPT_FAT16:FAT16" \
    "$GPT_BASIC:$((67 * MiB)):$((4 * MiB)):blank:-:-"
}

# build_gpt_damaged OUT primary|all: the GPT disk with the primary header
# zeroed (the backup header lists the same), or with both headers and the
# protective MBR zeroed (only the search finds the volumes, in its 1 MiB pass).
build_gpt_damaged() {
  local out=$1 what=$2 total
  build_gpt "$out"
  total=$(( $(stat -c %s "$out") / 512 ))
  zero_sector "$out" 1
  if [ "$what" = primary ]; then
    note "primary GPT header (LBA 1) zeroed: the backup header at LBA $((total - 1)) gives the same list"
  else
    zero_sector "$out" 0
    zero_sector "$out" $((total - 1))
    note "MBR, primary and backup GPT headers zeroed: the volumes come from the lost partition search"
    as_search_manifest "$out"
  fi
}

# A PC disk whose sector 0 was zeroed, with an NTFS and a FAT32 volume that
# begin at head 1 of a cylinder (63 + k * 16065, 255 heads x 63 sectors) and
# end at a cylinder boundary, as older partitioning tools laid them out.
build_lost_mbr() {
  local out=$1 cyl=16065
  note "sector 0 zeroed: no partition table; the lost partition search finds both volumes at cylinder probes"
  assemble_mbr_disk "$out" $((10 * cyl)) \
    "p1:7:63:$((2 * cyl - 63)):ntfs:LOST_NTFS:NTFS" \
    "p2:c:$((3 * cyl + 63)):$((5 * cyl - 63)):fat32:LOST_FAT32:FAT32"
  zero_sector "$out" 0
  as_search_manifest "$out"
}

# ---------------------------------------------------------------------------
main() {
  [ $# -ge 1 ] || { echo "usage: $0 OUTDIR [NAME...]" >&2; exit 2; }
  local outdir=$1; shift
  local names=("$@")
  [ ${#names[@]} -gt 0 ] || names=("${ALL_IMAGES[@]}")
  mkdir -p "$outdir"
  outdir=$(readlink -f "$outdir")

  # One builder at a time per folder (the demo and the tests may overlap).
  exec 9>"$outdir/.mkimages.lock"
  flock 9

  local hash
  hash=$(sha256sum "$SCRIPT_PATH" | cut -d' ' -f1)
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/mkimages.XXXXXX")

  local name out stamp
  for name in "${names[@]}"; do
    case $name in *.img) ;; *) name="$name.img" ;; esac
    out="$outdir/$name"; stamp="$outdir/.$name.stamp"
    if [ -f "$out" ] && [ -f "$out.manifest" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$hash" ]; then
      continue
    fi
    echo "mkimages: building $name" >&2
    rm -f "$out" "$stamp"
    MANIFEST="$out.manifest.tmp"
    : >"$MANIFEST"
    build_image "$name" "$out"
    mv -f "$MANIFEST" "$out.manifest"
    echo "$hash" >"$stamp"
  done
}

main "$@"
