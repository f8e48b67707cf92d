#!/usr/bin/env bash
# The Windows packages from the cross build in build/windows (scripts/test-windows.sh builds it):
# the portable zip quillon-VERSION-windows-x64.zip (CPack) and the installer
# quillon-VERSION-windows-x64-setup.exe (NSIS's makensis, which runs on Linux), both made from
# the same installed folder. The installer's uninstall list is generated from that folder, so it
# removes exactly what it installed. Prints the two files and their sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/windows
. scripts/apt.sh
apt_install nsis
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
grep -q '^QUILLON_QT_PREFIX:PATH=.' "$BUILD/CMakeCache.txt" \
  || { echo "package-windows: build/windows has no window (configure it with QUILLON_QT_PREFIX)" >&2; exit 1; }
name=quillon-$version-windows-x64
stage=$BUILD/stage/$name
rm -rf "$BUILD/stage"
cmake --install "$BUILD" --prefix "$stage" >/dev/null

# The uninstaller's list: every installed file, then the folders, deepest first.
files=$BUILD/stage/uninstall-files.nsh
(
  cd "$stage"
  find . -type f | sed 's|^\./||' | sort | while read -r f; do printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"; done
  find . -mindepth 1 -type d | sed 's|^\./||' | sort -r | while read -r d; do printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"; done
) > "$files"
setup=$BUILD/$name-setup.exe
makensis -V2 -DVERSION="$version" -DSOURCE="$stage" -DFILES="$files" -DICON="$ROOT/packaging/windows/quillon.ico" \
  -DOUTFILE="$setup" "$ROOT/packaging/windows/quillon.nsi"
(cd "$BUILD" && cpack -G ZIP >/dev/null)
ls -l "$BUILD/$name.zip" "$setup" | awk '{print $5, $9}'
