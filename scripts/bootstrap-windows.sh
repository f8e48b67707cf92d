#!/usr/bin/env bash
# Gets everything the Windows build needs onto this Debian machine: the mingw-w64 toolchain,
# Wine, NSIS and Xvfb (for the window) from Debian, and GoogleTest, jsoncpp and the store's
# engines (SQLite, libpq with OpenSSL: scripts/bootstrap-windows-store.sh, cached outside the
# clone) built for mingw from Debian's own sources into build/windows-deps (no mingw packages
# exist for them). Idempotent: what is there is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PREFIX=$ROOT/build/windows-deps
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake

PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 cmake ninja-build dpkg-dev googletest libsimpleini-dev libcli11-dev zip unzip nsis
          xvfb xdotool fonts-dejavu-core qt6-base-dev qt6-base-dev-tools xz-utils)
. scripts/apt.sh
# With recommends: Wine's recommended libraries are the set its headless runs were tested with.
apt_install --recommends "${PACKAGES[@]}"

mkdir -p "$PREFIX"
. scripts/debian-source.sh
# One CMake build of a source tree into the prefix, with the cross toolchain.
cross_build() {
  local src=$1 bin=$2; shift 2
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DQUILLON_WINDOWS_PREFIX="$PREFIX" "$@" >/dev/null
  cmake --build "$bin" >/dev/null
  cmake --install "$bin" >/dev/null
}

if [ ! -f "$PREFIX/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "bootstrap-windows: building GoogleTest for mingw"
  cross_build /usr/src/googletest "$PREFIX/src/googletest-build" -Dgtest_disable_pthreads=OFF
fi

if [ ! -f "$PREFIX/lib/pkgconfig/jsoncpp.pc" ]; then
  echo "bootstrap-windows: building jsoncpp for mingw from Debian's source package"
  rm -rf "$PREFIX/src/jsoncpp"
  debian_source libjsoncpp "$PREFIX/src/jsoncpp" "$PREFIX/apt"
  SRC=$(find "$PREFIX/src/jsoncpp" -mindepth 1 -maxdepth 1 -type d -name '*jsoncpp-*' | head -1)
  cross_build "$SRC" "$PREFIX/src/jsoncpp-build" -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON
fi
# QUILLON_WINDOWS_STORE=later: the caller builds them itself later (CI, in the background).
if [ "${QUILLON_WINDOWS_STORE:-}" != later ]; then
  bash scripts/bootstrap-windows-store.sh "$PREFIX"
fi
# The header-only libraries come from their Debian packages, copied into the prefix so that the
# cross build never sees the host's /usr/include.
mkdir -p "$PREFIX/include"
cp -u /usr/include/SimpleIni.h "$PREFIX/include/"
cp -ru /usr/include/CLI "$PREFIX/include/"
echo "bootstrap-windows: ready ($PREFIX)"
