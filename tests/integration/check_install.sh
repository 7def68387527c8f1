#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: both programs, both manual
# pages (rendered by man), the bash completion (every sub-command and
# option of --help-all completes), the desktop entry (desktop-file-validate
# without a remark) and the icon. The installed qvx prints the version.
#
#   check_install.sh BUILD_DIR VERSION [--gui]
set -uo pipefail

build=$1
version=$2
gui=${3:-}
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail=0
bad() { echo "FAIL $*"; fail=1; }

if ! cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"; echo "FAIL cmake --install"; exit 1
fi

files=(bin/qvx share/man/man1/qvx.1 share/bash-completion/completions/qvx)
if [ "$gui" = --gui ]; then
  files+=(bin/qvx-gui share/man/man1/qvx-gui.1 share/applications/qvx-gui.desktop
          share/icons/hicolor/scalable/apps/qvx-gui.svg)
fi
for f in "${files[@]}"; do
  [ -s "$prefix/$f" ] || bad "$f not installed"
done
for f in bin/qvx bin/qvx-gui; do
  [ -e "$prefix/$f" ] && { [ -x "$prefix/$f" ] || bad "$f not executable"; }
done

# One version everywhere.
got=$("$prefix/bin/qvx" --version 2>&1) || bad "qvx --version exited $?"
[ "$got" = "qvx $version" ] || bad "qvx --version printed '$got' (want 'qvx $version')"
if [ "$gui" = --gui ]; then
  got=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/qvx-gui" --version 2>&1) || bad "qvx-gui --version exited $?"
  [ "$got" = "qvx-gui $version" ] || bad "qvx-gui --version printed '$got' (want 'qvx-gui $version')"
fi

# The manual pages render and hold the generated and the written sections.
for page in qvx qvx-gui; do
  [ -f "$prefix/share/man/man1/$page.1" ] || continue
  if ! MANWIDTH=100 man -l "$prefix/share/man/man1/$page.1" >"$tmp/$page.txt" 2>"$tmp/$page.err"; then
    bad "man -l $page.1 failed: $(cat "$tmp/$page.err")"; continue
  fi
  [ -s "$tmp/$page.err" ] && bad "man -l $page.1 warned: $(cat "$tmp/$page.err")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
    grep -q "^$section" "$tmp/$page.txt" || bad "$page.1 has no $section section"
  done
  grep -q -- "$version" "$tmp/$page.txt" || bad "$page.1 does not name version $version"
done
if [ -f "$tmp/qvx.txt" ]; then
  for sub in disks partitions analyze recover load-log; do
    grep -q -- "$sub" "$tmp/qvx.txt" || bad "qvx.1 does not describe $sub"
  done
  grep -q -- "--deleted-only" "$tmp/qvx.txt" || bad "qvx.1 lacks the options of the sub-commands"
fi

# The completion: sub-commands, each sub-command's options, fixed choices.
completion=$prefix/share/bash-completion/completions/qvx
if [ -s "$completion" ]; then
  bash -n "$completion" || bad "completion script is not valid bash"
  complete_words() {  # complete_words WORD...: the completions of the last word
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 )); _qvx; printf "%s\n" "${COMPREPLY[@]}"' \
      _ "$completion" "$@"
  }
  got=$(complete_words qvx "" | sort | tr '\n' ' ')
  [ "$got" = "analyze disks load-log partitions recover " ] || bad "subcommands complete to '$got'"
  [ "$(complete_words qvx rec)" = recover ] || bad "'qvx rec' does not complete to recover"
  [ "$(complete_words qvx analyze x.img --ki)" = --kind ] || bad "'--ki' does not complete to --kind"
  got=$(complete_words qvx analyze x.img --kind "" | sort | tr '\n' ' ')
  [ "$got" = "FAT16 FAT32 NTFS " ] || bad "--kind completes to '$got'"
  for sub in disks partitions analyze recover load-log; do
    opts=$(complete_words qvx "$sub" - | sort -u)
    # The option column of the help: "  -p,--partition INT ..." or "  --json ...".
    for o in $("$prefix/bin/qvx" "$sub" --help | sed -nE 's/^ +(-[^ ]+).*/\1/p' | tr ',' '\n' | sort -u); do
      grep -qx -- "$o" <<<"$opts" || bad "$sub: option $o does not complete"
    done
  done
fi

# The desktop entry passes desktop-file-validate without any remark.
desktop=$prefix/share/applications/qvx-gui.desktop
if [ -f "$desktop" ]; then
  out=$(desktop-file-validate "$desktop" 2>&1) || bad "desktop-file-validate failed: $out"
  [ -z "$out" ] || bad "desktop-file-validate remarks: $out"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || bad "the desktop entry's icon $icon is not installed"
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$prefix/bin/$exe" ] || bad "the desktop entry's program $exe is not installed"
fi

[ $fail -eq 0 ] && echo "install ok"
exit $fail
