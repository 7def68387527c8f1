#!/usr/bin/env bash
# qvx partitions on sources that are missing, empty, too short or hostile:
# a clear exit code and message, never a crash or a hang.
#
#   check_bad_source.sh QVX
set -uo pipefail

qvx=$1
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAIL $*"; fail=1; }

run() {  # run ARGS...: sets rc, out, err; 30 s bound against hangs
  timeout 30 "$qvx" "$@" >"$tmp/out" 2>"$tmp/err"; rc=$?
  out=$(cat "$tmp/out"); err=$(cat "$tmp/err")
}

# Every --json line is an object with the listed fields and a known name.
json_ok() {
  python3 - "$tmp/out" "$1" <<'PY'
import json, sys
lines = [l for l in open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines() if l.strip()]
limit = int(sys.argv[2])
assert len(lines) <= limit, f"{len(lines)} partitions listed (at most {limit})"
for n, l in enumerate(lines, 1):
    o = json.loads(l)
    assert o["number"] == n, o
    assert o["name"] in ("NTFS", "FAT16", "FAT32", "Unknown Partition"), o
    assert o["table"] in ("mbr", "search", "none"), o
    assert o["end"] >= o["first"] >= 0, o
PY
}

# A missing source is refused with exit 2 and a message.
for form in "" "--json"; do
  # shellcheck disable=SC2086
  run partitions /nonexistent/qvx-no-such-disk.img $form
  [ $rc -eq 2 ] || bad "missing source $form: exit $rc (want 2)"
  [ -n "$err" ] || bad "missing source $form: no message on stderr"
  [ -z "$out" ] || bad "missing source $form: printed '$out'"
done

# No source at all is a usage error.
run partitions
[ $rc -eq 2 ] || bad "no source: exit $rc (want 2)"

# Too short to hold a partition table: nothing found, so exit 3 with the
# whole disk offered as "Unknown Partition" (or nothing listed), or 2 with a
# message.
: >"$tmp/empty.img"
head -c 100 /dev/urandom >"$tmp/short.img"
for f in empty short; do
  for form in "" "--json"; do
    # shellcheck disable=SC2086
    run partitions "$tmp/$f.img" $form
    case $rc in
      3) [ "$form" = "--json" ] && { json_ok 1 || bad "$f.img: bad --json output: $out"; } ;;
      2) [ -n "$err" ] || bad "$f.img $form: exit 2 without a message" ;;
      *) bad "$f.img $form: exit $rc (want 3 or 2): $err" ;;
    esac
  done
done

# An extended boot record that links to itself, each time holding a FAT16
# slot: the walk must end, with at most 26 partitions.
python3 - "$tmp/loop.img" <<'PY'
import sys
def entry(t, start, count):
    return bytes([0, 0, 0, 0, t, 0, 0, 0]) + start.to_bytes(4, "little") + count.to_bytes(4, "little")
def record(*entries):
    s = bytearray(512)
    for k, e in enumerate(entries):
        s[0x1BE + 16 * k: 0x1BE + 16 * k + 16] = e
    s[510:512] = b"\x55\xaa"
    return bytes(s)
with open(sys.argv[1], "wb") as f:
    f.truncate(64 * 1024 * 1024)
    f.write(record(entry(0x05, 2048, 40000)))
    f.seek(2048 * 512)
    f.write(record(entry(0x06, 63, 1000), entry(0x05, 0, 40000)))
PY
run partitions "$tmp/loop.img" --json
case $rc in
  0|3) json_ok 26 || bad "self-linked chain: bad output: $out" ;;
  2) [ -n "$err" ] || bad "self-linked chain: exit 2 without a message" ;;
  124) bad "self-linked chain: qvx did not finish" ;;
  *) bad "self-linked chain: exit $rc: $err" ;;
esac

# A table whose slots point far beyond the disk: no crash.
python3 - "$tmp/wild.img" <<'PY'
import sys
s = bytearray(512)
for k in range(4):
    e = bytes([0x80, 0xFF, 0xFF, 0xFF, (0x05, 0x0F, 0x07, 0x0C)[k], 0xFF, 0xFF, 0xFF]) + \
        (0xFFFFFF00 + k).to_bytes(4, "little") + (0xFFFFFFFF).to_bytes(4, "little")
    s[0x1BE + 16 * k: 0x1BE + 16 * k + 16] = e
s[510:512] = b"\x55\xaa"
with open(sys.argv[1], "wb") as f:
    f.write(s)
    f.truncate(16 * 1024 * 1024)
PY
run partitions "$tmp/wild.img" --json
case $rc in
  0|3) json_ok 26 || bad "wild slots: bad output: $out" ;;
  2) [ -n "$err" ] || bad "wild slots: exit 2 without a message" ;;
  *) bad "wild slots: exit $rc: $err" ;;
esac

[ $fail -eq 0 ] && echo "ok   bad sources handled"
exit $fail
