#!/usr/bin/env bash
# Wrong input on the command line and the wording of what qvx says:
# - a plain volume image is one volume (partition 1, "table":"none"), with
#   no "corrupted" or search message, and --partition may be left out;
# - a disk where nothing is found lists "Unknown Partition" and exits 3;
# - bad --partition and --range values are usage errors (exit 2) naming
#   the option, said once;
# - the wizard's help texts never reach the terminal;
# - errors name the system's reason and the path.
#
#   check_bad_input.sh QVX IMAGES_DIR
set -uo pipefail

qvx=$1
images=$2
tmp=$(mktemp -d); chmod 755 "$tmp"; trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAIL $*"; fail=1; }

for f in demo.img vol-ntfs.img vol-fat16.img vol-fat32.img; do
  [ -f "$images/$f" ] || { echo "SKIP: $images/$f missing (run tools/mkimages.sh)"; exit 77; }
done
demo=$images/demo.img

run() {  # run ARGS...: sets rc, out, err; 60 s bound against hangs
  timeout 60 "$qvx" "$@" >"$tmp/out" 2>"$tmp/err"; rc=$?
  out=$(cat "$tmp/out"); err=$(cat "$tmp/err")
}

# Texts of the wizard window that must not appear on a terminal.
wizard_texts='Press .Next|Select the Partition|Please wait|Partition Table is corrupted|Software is Searching|To stop press|button'
no_wizard_text() {  # no_wizard_text LABEL
  if grep -qE "$wizard_texts" <<<"$err"; then bad "$1: a wizard help text on stderr: $err"; fi
}

# --- plain volume images -------------------------------------------------
for v in ntfs:NTFS fat16:FAT16 fat32:FAT32; do
  img=$images/vol-${v%%:*}.img
  fs=${v#*:}
  sectors=$(( $(stat -c %s "$img") / 512 ))
  run partitions "$img" --json
  want="{\"number\":1,\"name\":\"$fs\",\"first\":0,\"end\":$sectors,\"size_mb\":$((sectors >> 11)),\"table\":\"none\"}"
  [ $rc -eq 0 ] || bad "partitions vol-$fs: exit $rc"
  [ "$out" = "$want" ] || bad "partitions vol-$fs: got '$out' want '$want'"
  [ -z "$err" ] || bad "partitions vol-$fs: said '$err'"
  run partitions "$img"
  grep -q "Partition - 1 ( $fs )" <<<"$out" || bad "partitions vol-$fs text: '$out'"
  [ -z "$err" ] || bad "partitions vol-$fs text: said '$err'"
  # One volume: --partition may be left out.
  run analyze "$img" --json
  [ $rc -eq 0 ] || bad "analyze vol-$fs without --partition: exit $rc: $err"
  grep -q '"path"' <<<"$out" || bad "analyze vol-$fs without --partition: no items"
  no_wizard_text "analyze vol-$fs"
  run analyze "$img" -p 1
  [ $rc -eq 0 ] || bad "analyze vol-$fs -p 1: exit $rc: $err"
  no_wizard_text "analyze vol-$fs -p 1"
done

# The wizard's texts stay out of every command on the demo disk.
run partitions "$demo"; no_wizard_text "partitions demo"
run partitions "$demo" --search; no_wizard_text "partitions demo --search"
for p in 1 2 3; do run analyze "$demo" -p $p; no_wizard_text "analyze demo -p $p"; done
run recover "$demo" -p 2 "$tmp/rec"; no_wizard_text "recover demo -p 2"
[ $rc -le 1 ] || bad "recover demo -p 2: exit $rc: $err"
run analyze "$demo" --range 0:2048 --kind NTFS --mode advance; no_wizard_text "analyze --mode advance"

# More than one volume and no --partition: a usage error that says so.
run analyze "$demo"
[ $rc -eq 2 ] || bad "analyze demo without --partition: exit $rc (want 2)"
grep -q -- "--partition" <<<"$err" || bad "analyze demo without --partition: '$err' does not name --partition"

# --- nothing found --------------------------------------------------------
truncate -s 8M "$tmp/blank.img"
printf 'root:x:0:0:root:/root:/bin/bash\n' >"$tmp/passwd"
for f in blank.img passwd; do
  run partitions "$tmp/$f" --json
  [ $rc -eq 3 ] || bad "partitions $f: exit $rc (want 3)"
  grep -q '"name":"Unknown Partition"' <<<"$out" || bad "partitions $f: '$out' lacks Unknown Partition"
  no_wizard_text "partitions $f"
  run partitions "$tmp/$f"
  [ $rc -eq 3 ] || bad "partitions $f text: exit $rc (want 3)"
  grep -q "Unknown Partition" <<<"$out" || bad "partitions $f text: '$out'"
  run analyze "$tmp/$f"
  [ $rc -eq 3 ] || bad "analyze $f without --partition: exit $rc (want 3)"
  [ -n "$err" ] || bad "analyze $f without --partition: no message"
done

# --- bad --partition and --range -------------------------------------------
once() {  # once LABEL OPTION: exit 2, the message names OPTION, one error line
  [ $rc -eq 2 ] || bad "$1: exit $rc (want 2): $err"
  grep -q -- "$2" <<<"$err" || bad "$1: the message does not name $2: '$err'"
  local lines; lines=$(grep -c '^qvx: ' <<<"$err")
  [ "$lines" -eq 1 ] || bad "$1: $lines error lines: '$err'"
  grep -q "Recovery is not possible" <<<"$err" && bad "$1: says Recovery is not possible"
  [ -z "$out" ] || bad "$1: printed '$out'"
}
for cmd in analyze recover; do
  dest=(); [ $cmd = recover ] && dest=("$tmp/out-$cmd")
  for p in -1 0 99 x 1.5; do
    run $cmd "$demo" "${dest[@]}" -p "$p"; once "$cmd -p $p" --partition
    run $cmd "$demo" "${dest[@]}" --partition="$p"; once "$cmd --partition=$p" --partition
  done
  for r in 5:2 5:5 abc 5 :9 5: -1:9 0:99999999999; do
    run $cmd "$demo" "${dest[@]}" --range "$r" --kind FAT16; once "$cmd --range $r" --range
  done
  run $cmd "$demo" "${dest[@]}" --range 0:9999999 --kind FAT16; once "$cmd --range beyond the disk" --range
  run $cmd "$demo" "${dest[@]}" --range 63:2048; once "$cmd --range without --kind" --kind
  run $cmd "$demo" "${dest[@]}" -p 1 --range 63:2048 --kind NTFS; once "$cmd -p with --range" --partition
done
for id in -1 abc 4294967296 ""; do
  run recover "$demo" "$tmp/out-recover" -p 1 --id "$id"; once "recover --id '$id'" --id
done
[ -e "$tmp/out-recover" ] && bad "a refused recover created its destination"

# A range that holds no NTFS volume: exit 3, the verdict said once.
for cmd in analyze recover; do
  dest=(); [ $cmd = recover ] && dest=("$tmp/out-norec")
  run $cmd "$demo" "${dest[@]}" --range 0:2048 --kind NTFS
  [ $rc -eq 3 ] || bad "$cmd of a range without NTFS: exit $rc (want 3)"
  n=$(grep -c "Recovery is not possible" <<<"$err")
  [ "$n" -eq 1 ] || bad "$cmd of a range without NTFS: the verdict said $n times: $err"
done

# --- errors name the reason, the path and what was done ---------------------
run partitions "$tmp/missing.img"
[ $rc -eq 2 ] || bad "missing source: exit $rc"
grep -q "No such file or directory" <<<"$err" && grep -q "$tmp/missing.img" <<<"$err" ||
  bad "missing source: '$err' lacks the reason or the path"

mkdir "$tmp/ro"; chmod 555 "$tmp/ro"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  # root passes mode 555: the check runs as nobody, when nobody can read the
  # image (a checkout under a private folder is skipped).
  if setpriv --reuid=65534 --regid=65534 --clear-groups test -r "$images/vol-fat16.img" 2>/dev/null; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  else
    as_user=(skip)
  fi
fi
if [ "${as_user[0]:-}" != skip ]; then
  timeout 60 "${as_user[@]}" "$qvx" recover "$images/vol-fat16.img" "$tmp/ro/dest" -q >"$tmp/out" 2>"$tmp/err"; rc=$?
  err=$(cat "$tmp/err")
  [ $rc -eq 2 ] || bad "destination under a mode-555 folder: exit $rc (want 2)"
  grep -q "Permission denied" <<<"$err" || bad "destination under a mode-555 folder: '$err' lacks 'Permission denied'"
  grep -q "$tmp/ro/dest" <<<"$err" || bad "destination under a mode-555 folder: '$err' lacks the path"
  grep -q "No such file or directory" <<<"$err" && bad "destination under a mode-555 folder: says 'No such file'"
fi
: >"$tmp/afile"
run recover "$images/vol-fat16.img" "$tmp/afile/dest" -q
[ $rc -eq 2 ] || bad "destination below a file: exit $rc (want 2)"
grep -q "Not a directory" <<<"$err" || bad "destination below a file: '$err' lacks 'Not a directory'"

[ $fail -eq 0 ] && echo "ok   wrong input handled"
exit $fail
