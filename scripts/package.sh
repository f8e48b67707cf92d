#!/usr/bin/env bash
# Builds a release of quillon and quillon-cli and writes the Debian package into build/packages/
# (quillon_VERSION_amd64.deb, through CPack's DEB generator), then runs lintian on it.
# Installs what it needs first (scripts/bootstrap.sh, then dpkg-dev, lintian and gzip).
# QUILLON_SKIP_LINTIAN=1 leaves the lintian run out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
. scripts/apt.sh
apt_install dpkg-dev lintian gzip

# The install step (and so CPack) copies only what the package holds: without this it would
# first build every test and benchmark of the release preset.
cmake --preset release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target quillon quillon-cli
out=build/packages
mkdir -p "$out"
(cd build/release && cpack -G DEB -B "$PWD/cpack" >/dev/null)
rm -f "$out"/quillon_*.deb
cp build/release/cpack/quillon_*.deb "$out"/
deb=$(ls "$out"/quillon_*.deb)
echo "== $deb ($(du -k "$deb" | cut -f1) KiB)"
if [ "${QUILLON_SKIP_LINTIAN:-}" != "1" ]; then
  # Tags that remain are overridden with their reason in packaging/debian/lintian-overrides;
  # any other warning or error fails the build.
  lintian --fail-on error,warning --display-info "$deb"
fi
