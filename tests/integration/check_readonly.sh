#!/usr/bin/env bash
# qvx only reads its sources: every image keeps its SHA-256 and modification
# time across `qvx disks`, `qvx partitions`, `qvx analyze` (with --save-log
# when this qvx has it) and `qvx recover`, and under strace every open of an
# image (and of any device node) is read-only.
#
#   check_readonly.sh QVX IMAGES_DIR
set -uo pipefail

qvx=$1 dir=$2
command -v strace >/dev/null || { echo "SKIP strace not installed"; exit 77; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAIL $*"; fail=1; }

# Write-capable open flags; any of them on a source is a fault.
WRITE_FLAGS='O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND'

shopt -s nullglob
images=("$dir"/*.img)
[ ${#images[@]} -gt 0 ] || { echo "FAIL no images in $dir"; exit 1; }

declare -A before
stamp() { echo "$(sha256sum <"$1") $(stat -c '%y' "$1")"; }
for img in "${images[@]}"; do before[$img]=$(stamp "$img"); done

# trace LOG CMD...: runs CMD under strace, logging every open. The leak
# checker of a sanitizer build cannot run under ptrace, so it is off here.
trace() {
  local log=$1; shift
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -e trace=open,openat,openat2,creat -o "$log" "$@" >"$tmp/out" 2>"$tmp/err"
}

for args in "disks" "disks --json"; do
  # shellcheck disable=SC2086
  trace "$tmp/disks.log" "$qvx" $args; rc=$?
  [ $rc -eq 0 ] || bad "qvx $args exit $rc: $(head -c 300 "$tmp/err")"
  if grep -E '"/dev/' "$tmp/disks.log" | grep -v -E '"/dev/(null|tty|urandom|random)"' | grep -E "$WRITE_FLAGS"; then
    bad "qvx $args opened a device for writing"
  fi
done

for img in "${images[@]}"; do
  name=$(basename "$img")
  for form in "" "--json"; do
    # shellcheck disable=SC2086
    trace "$tmp/p.log" "$qvx" partitions "$img" $form; rc=$?
    [ $rc -eq 0 ] || bad "qvx partitions $name $form exit $rc: $(head -c 300 "$tmp/err")"
    opens=$(grep -F "$name\"" "$tmp/p.log" | grep -v -E ' = -1 ' || true)
    [ -n "$opens" ] || bad "qvx partitions $name $form never opened the image"
    if grep -E "$WRITE_FLAGS" <<<"$opens"; then bad "qvx partitions $name opened the image for writing"; fi
    if grep -E '"/dev/' "$tmp/p.log" | grep -v -E '"/dev/(null|tty|urandom|random)"' | grep -E "$WRITE_FLAGS"; then
      bad "qvx partitions $name opened a device for writing"
    fi
  done
done

# check_opens NAME WHAT: the last trace opened the image, and only read-only.
check_opens() {
  local name=$1 what=$2 opens
  opens=$(grep -F "$name\"" "$tmp/a.log" | grep -v -E ' = -1 ' || true)
  [ -n "$opens" ] || bad "$what never opened the image"
  if grep -E "$WRITE_FLAGS" <<<"$opens"; then bad "$what opened the image for writing"; fi
}

save_log=()
if "$qvx" analyze --help 2>/dev/null | grep -q -- '--save-log'; then save_log=(--save-log "$tmp/session.log"); fi

# Analysis and recovery of the first volume each manifest lists: by its
# partition number, or as a sector range for a bare volume (number 0).
for img in "${images[@]}"; do
  name=$(basename "$img")
  read -r _ number fs first end < <(grep -E '^volume [0-9]+ ' "$img.manifest" 2>/dev/null | head -1) || continue
  if [ "$number" = 0 ]; then target=(--range "$first:$end" --kind "$fs"); else target=(--partition "$number"); fi
  rm -f "$tmp/session.log"
  trace "$tmp/a.log" "$qvx" analyze "$img" "${target[@]}" "${save_log[@]}" --json -q; rc=$?
  [ $rc -le 1 ] || [ $rc -eq 3 ] || bad "qvx analyze $name ${target[*]} exit $rc: $(head -c 300 "$tmp/err")"
  check_opens "$name" "qvx analyze $name"
  rm -rf "$tmp/dest"
  trace "$tmp/a.log" "$qvx" recover "$img" "$tmp/dest" "${target[@]}" -q; rc=$?
  [ $rc -le 1 ] || [ $rc -eq 3 ] || bad "qvx recover $name ${target[*]} exit $rc: $(head -c 300 "$tmp/err")"
  check_opens "$name" "qvx recover $name"
done

for img in "${images[@]}"; do
  [ "$(stamp "$img")" = "${before[$img]}" ] || bad "$(basename "$img") changed (contents or modification time)"
done

[ $fail -eq 0 ] && echo "ok   ${#images[@]} images unchanged, opened read-only"
exit $fail
