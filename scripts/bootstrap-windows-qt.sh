#!/usr/bin/env bash
# Qt 6 for mingw-w64, built from Debian's own qt6-base source package with the host's Qt 6 tools
# (moc, rcc, uic from qt6-base-dev), for the Windows window quillon.exe. Only what the window and
# its tests use is built: Core, Gui, Widgets, Network, Test, the windows and offscreen platforms and
# the windowsvista style. The build takes half an hour or more on two cores, so the installed,
# stripped Qt is kept in a cache outside the clone, keyed by the source package's version and by
# everything that shapes the build (the options below, the toolchain file, the patches, the compiler); a matching cache
# is reused, anything else builds anew. Prints the prefix on its last line.
# Before building, a ready-built archive of exactly this key is looked for in the shared cache
# beside the clone (../shared/cache/qt6-mingw/qt-VERSION-KEY.tar.xz, made by this script and
# packed with tar and xz, with its sha256sum line in a .sha256 file beside it): when it is there
# and its checksum matches, it is unpacked into the cache instead (seconds, not half an hour).
#   QUILLON_QT_CACHE     the cache folder (default /var/cache/quillon/qt6-mingw)
#   QUILLON_QT_ARCHIVES  where the archives are (default ../shared/cache/qt6-mingw beside the clone)
#   --print-prefix    only prints where this Qt is (or would be) kept
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CACHE=${QUILLON_QT_CACHE:-/var/cache/quillon/qt6-mingw}
TOOLCHAIN=$ROOT/cmake/qt-mingw-w64-x86_64.cmake
PATCHES=$ROOT/packaging/windows/qt-patches
. scripts/apt.sh
SUDO=$APT_SUDO
apt_install g++-mingw-w64-x86-64-posix cmake ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools xz-utils

# The host tools must match the source: Debian's qt6-base-dev is the same upload as the source.
HOST_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev)

# The options, one per line; they are part of the cache key.
OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_network=ON -DFEATURE_testlib=ON
  -DFEATURE_accessibility=ON
  # Qt's bundled libraries: Debian has no mingw builds of them.
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_freetype=ON -DFEATURE_harfbuzz=ON -DFEATURE_png=ON
  # directwrite3 needs direct2d: both stay on (the windows platform draws text with DirectWrite).
  -DFEATURE_direct2d=ON -DFEATURE_directwrite=ON -DFEATURE_directwrite3=ON
  # Debian's source drops src/3rdparty/wintab, which the windows platform needs for tablets.
  -DFEATURE_tabletevent=OFF
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=ON
  # The version check speaks plain HTTP: no TLS backend (the schannel plugin needs ssl).
  -DFEATURE_ssl=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=OFF -DFEATURE_zstd=OFF -DFEATURE_brotli=OFF -DFEATURE_libproxy=OFF
  -DFEATURE_glib=OFF -DFEATURE_icu=OFF
  -DFEATURE_androiddeployqt=OFF -DFEATURE_windeployqt=OFF -DFEATURE_macdeployqt=OFF
  -DFEATURE_qmake=OFF
)
key_input() {
  echo "qt6-base $HOST_VERSION"
  printf '%s\n' "${OPTIONS[@]}"
  cat "$TOOLCHAIN"
  if [ -d "$PATCHES" ]; then cat "$PATCHES"/*.patch 2>/dev/null || true; fi
  x86_64-w64-mingw32-g++-posix --version | head -1
}
KEY=$(key_input | sha256sum | cut -c1-16)
PREFIX=$CACHE/qt-${HOST_VERSION//[^A-Za-z0-9.]/_}-$KEY
if [ "${1:-}" = --print-prefix ]; then
  echo "$PREFIX"
  exit 0
fi
if [ -f "$PREFIX/.complete" ]; then
  echo "bootstrap-windows-qt: cached ($PREFIX)"
  echo "$PREFIX"
  exit 0
fi

$SUDO mkdir -p "$CACHE"
[ -w "$CACHE" ] || $SUDO chown "$(id -u):$(id -g)" "$CACHE"
# One build per key at a time: a second caller (CI starts the build early, in the background)
# waits for the first and then takes its result.
exec 9>"$CACHE/.lock-$KEY"
if ! flock -n 9; then
  echo "bootstrap-windows-qt: waiting for the Qt build already running"
  flock 9
fi
if [ -f "$PREFIX/.complete" ]; then
  echo "bootstrap-windows-qt: cached ($PREFIX)"
  echo "$PREFIX"
  exit 0
fi
started=$(date +%s)

# The ready-built Qt of this very key, when the shared cache has it and its checksum holds.
ARCHIVES=${QUILLON_QT_ARCHIVES:-$ROOT/../shared/cache/qt6-mingw}
NAME=$(basename "$PREFIX")
archive=$ARCHIVES/$NAME.tar.xz
if [ -f "$archive" ] && [ -f "$archive.sha256" ]; then
  if (cd "$ARCHIVES" && sha256sum --check --status "$NAME.tar.xz.sha256"); then
    echo "bootstrap-windows-qt: unpacking $archive"
    rm -rf "$PREFIX.tmp" "$CACHE/unpack-$KEY"
    mkdir -p "$CACHE/unpack-$KEY"
    if tar -xJf "$archive" -C "$CACHE/unpack-$KEY" && [ -f "$CACHE/unpack-$KEY/$NAME/.complete" ] &&
       [ -f "$CACHE/unpack-$KEY/$NAME/lib/cmake/Qt6/Qt6Config.cmake" ]; then
      rm -rf "$PREFIX"
      mv "$CACHE/unpack-$KEY/$NAME" "$PREFIX"
      rm -rf "$CACHE/unpack-$KEY"
      echo "bootstrap-windows-qt: unpacked in $(( $(date +%s) - started )) s ($PREFIX)"
      echo "$PREFIX"
      exit 0
    fi
    rm -rf "$CACHE/unpack-$KEY"
    echo "bootstrap-windows-qt: $archive does not hold $NAME/ with Qt in it: building instead"
  else
    echo "bootstrap-windows-qt: $archive does not match its checksum: building instead"
  fi
else
  echo "bootstrap-windows-qt: no ready-built $NAME.tar.xz (with its .sha256) in $ARCHIVES: building"
fi

WORK=$CACHE/build-$KEY
rm -rf "$WORK"

# Debian's source package (the same upload as the host's tools), unpacked with its patches.
. scripts/debian-source.sh
debian_source "qt6-base=$HOST_VERSION" "$WORK/src" "$WORK/apt" --download-only
dpkg-source -x "$WORK"/src/qt6-base_*.dsc "$WORK/src/qtbase" >/dev/null
if [ -d "$PATCHES" ]; then
  for p in "$PATCHES"/*.patch; do
    [ -f "$p" ] || continue
    echo "bootstrap-windows-qt: applying $(basename "$p")"
    patch -d "$WORK/src/qtbase" -p1 --quiet < "$p"
  done
fi

echo "bootstrap-windows-qt: building Qt $HOST_VERSION for mingw-w64 (this takes a while)"
cmake -S "$WORK/src/qtbase" -B "$WORK/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DCMAKE_INSTALL_PREFIX="$PREFIX.tmp" "${OPTIONS[@]}" > "$WORK/configure.log" 2>&1 \
  || { tail -40 "$WORK/configure.log"; exit 1; }
cmake --build "$WORK/build" -j "$(nproc)" > "$WORK/build.log" 2>&1 || { grep -B2 -A20 'FAILED' "$WORK/build.log" | head -80; exit 1; }
rm -rf "$PREFIX.tmp"
cmake --install "$WORK/build" --strip > "$WORK/install.log" 2>&1 || { tail -40 "$WORK/install.log"; exit 1; }
# Only the installed files are kept; the sources and objects go.
date -u +%FT%TZ > "$PREFIX.tmp/.complete"
echo "$(( $(date +%s) - started )) s" >> "$PREFIX.tmp/.complete"
rm -rf "$PREFIX"
mv "$PREFIX.tmp" "$PREFIX"
rm -rf "$WORK"
echo "bootstrap-windows-qt: built in $(( $(date +%s) - started )) s ($PREFIX, $(du -sh "$PREFIX" | cut -f1))"
echo "$PREFIX"
