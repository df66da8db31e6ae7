#!/usr/bin/env bash
# Builds zephon's Debian package (Release, `cpack -G DEB`), installs it with
# dpkg, checks that the programs run and the manual pages are in place,
# checks the copyright file and that no installed file names the source or
# build directory, removes it with `dpkg -r`, and checks that every file it
# installed is gone.
# Needs root (or sudo) for dpkg.
#
# Usage: tools/package-test.sh
#   ZEPHON_PACKAGE_BUILD  build directory (default build/package)
#   ZEPHON_JOBS           parallel compile jobs (default: the number of cores)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZEPHON_PACKAGE_BUILD:-$root/build/package}
jobs=${ZEPHON_JOBS:-$(nproc)}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

fail() { echo "package-test: $*" >&2; exit 1; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEPHON_TESTS=OFF -DZEPHON_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/zephon_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/zephon_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one zephon_*.deb in $build, found: ${debs[*]}"
deb=${debs[0]}
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

expected=(
  /usr/bin/zephon
  /usr/bin/zephon-trace
  /usr/bin/zephon-probe
  /usr/bin/zephon-rom
  /usr/share/man/man1/zephon.1
  /usr/share/man/man1/zephon-trace.1
  /usr/share/man/man1/zephon-probe.1
  /usr/share/man/man1/zephon-rom.1
  /usr/share/doc/zephon/copyright
)
packaged=$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for f in "${expected[@]}"; do
  grep -qx "$f" <<<"$packaged" || fail "$f is not in the package"
done

echo "== dpkg -i"
"${sudo[@]}" dpkg -i "$deb"
for f in "${expected[@]}"; do
  [ -e "$f" ] || fail "$f is missing after dpkg -i"
done
zephon --help | head -1 | grep -q '^Usage: zephon ' || fail "zephon --help"
zephon-trace --help | head -1 | grep -q '^Usage: zephon-trace ' || fail "zephon-trace --help"
zephon-probe --help >/dev/null || fail "zephon-probe --help"
zephon-rom --help | head -1 | grep -q '^Usage: zephon-rom ' || fail "zephon-rom --help"
rom=$(mktemp)
zephon-rom build --video-bios -o "$rom" && zephon-rom inspect "$rom" >/dev/null || fail "zephon-rom build, inspect"
rm -f "$rom"
copyright=/usr/share/doc/zephon/copyright
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" \
  || fail "$copyright is not a machine-readable copyright file"
grep -qx 'License: Expat' "$copyright" || fail "$copyright does not name the licence"
grep -qx 'Copyright: 2026 zephon developers' "$copyright" || fail "$copyright does not name the copyright holders"
grep -qF 'Permission is hereby granted, free of charge' "$copyright" || fail "$copyright lacks the licence's terms"
for f in $(dpkg -L zephon); do
  [ -f "$f" ] || continue
  for dir in "$root" "$build"; do
    ! grep -qaF "$dir" "$f" || fail "$f names the directory $dir"
  done
done
if command -v man >/dev/null; then
  [ "$(man -w zephon-trace)" = /usr/share/man/man1/zephon-trace.1 ] || fail "man -w zephon-trace"
fi
echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' zephon)"
owned=$(dpkg -L zephon | while read -r f; do [ -f "$f" ] && echo "$f"; done)

echo "== dpkg -r"
"${sudo[@]}" dpkg -r zephon
for f in "${expected[@]}" $owned; do
  [ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
status=$(dpkg-query -W -f='${Status}' zephon 2>/dev/null || true)
case "$status" in
  ""|"unknown ok not-installed"|"deinstall ok not-installed") ;;
  *) fail "package state after dpkg -r: $status" ;;
esac
echo "package-test: $deb built, installed and removed cleanly"
