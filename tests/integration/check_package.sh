#!/usr/bin/env bash
# `cpack -G DEB` into a temporary folder: the package is named
# qvx_<version>_<arch>.deb, holds every installed file under /usr, and its
# control fields (Depends from dpkg-shlibdeps, Maintainer, ...) are filled.
#
#   check_package.sh BUILD_DIR VERSION [--gui]
set -uo pipefail

build=$1
version=$2
gui=${3:-}
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAIL $*"; fail=1; }

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing (scripts/bootstrap installs it)"; exit 77; }
done
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"; echo "FAIL cpack -G DEB"; exit 1
fi
arch=$(dpkg --print-architecture)
deb=$tmp/qvx_${version}_${arch}.deb
[ -f "$deb" ] || { ls "$tmp"; echo "FAIL $(basename "$deb") was not written"; exit 1; }

dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/files"
files=(/usr/bin/qvx /usr/share/man/man1/qvx.1 /usr/share/bash-completion/completions/qvx
       /usr/share/doc/qvx/copyright)
if [ "$gui" = --gui ]; then
  files+=(/usr/bin/qvx-gui /usr/share/man/man1/qvx-gui.1 /usr/share/applications/qvx-gui.desktop
          /usr/share/icons/hicolor/scalable/apps/qvx-gui.svg)
fi
for f in "${files[@]}"; do
  grep -qx -- "$f" "$tmp/files" || bad "the package lacks $f"
done
grep -v -e '^/usr' -e '^/$' "$tmp/files" | grep -q . && bad "files outside /usr: $(grep -v -e '^/usr' -e '^/$' "$tmp/files" | head -3)"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qvx ] || bad "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || bad "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || bad "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || bad "no Maintainer"
[ -n "$(field Description)" ] || bad "no Description"
depends=$(field Depends)
for lib in libc6 libewf2 libvmdk1 libvhdi1 libqcow1 libssl3 libmagic1; do
  grep -q "$lib" <<<"$depends" || bad "Depends '$depends' lacks $lib"
done
# qvx holds its own C++ runtime; the window uses the shared one, as Qt does.
if [ "$gui" = --gui ]; then
  for lib in libqt6widgets6 libstdc++6; do
    grep -q "$lib" <<<"$depends" || bad "Depends '$depends' lacks $lib"
  done
fi
# The programs in the package are stripped.
dpkg-deb -x "$deb" "$tmp/root"
file "$tmp/root/usr/bin/qvx" | grep -q "not stripped" && bad "/usr/bin/qvx is not stripped"
"$tmp/root/usr/bin/qvx" --version | grep -qx "qvx $version" || bad "the packaged qvx does not print qvx $version"

[ $fail -eq 0 ] && echo "package ok: $(basename "$deb"), Depends: $depends"
exit $fail
