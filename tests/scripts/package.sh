#!/usr/bin/env bash
# Builds the .deb from a build tree, checks its dependencies on FreeImage and cfitsio,
# unpacks it into a temporary root and runs the installed program.
# usage: tests/scripts/package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log") ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/tarnic_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libfreeimage3 libcfitsio; do
  case "$depends" in
    *"$library"*) ;;
    *) echo "package does not depend on $library: '$depends'"; exit 1 ;;
  esac
done
dpkg -x "$deb" "$work/root"
[ -f "$work/root/usr/share/man/man1/tarnic.1" ] || { echo "no man page in the package"; exit 1; }
grep -q '^MIT License$' "$work/root/usr/share/doc/tarnic/copyright" || { echo "no licence in the package"; exit 1; }
"$work/root/usr/bin/tarnic" -h > "$work/help.txt"
grep -q '^Usage: tarnic \[options\] <input1> <input2> \.\.\.$' "$work/help.txt" ||
  { echo "the installed tarnic printed no help"; cat "$work/help.txt"; exit 1; }
echo "$(basename "$deb") installs a working tarnic (Depends: $depends)"
