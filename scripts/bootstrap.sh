#!/usr/bin/env bash
# Installs every Debian package that Quillon needs to build, test, benchmark and fuzz.
# Idempotent: packages already present are not fetched again, and apt-get runs only when
# something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libhidapi-dev libudev-dev libjsoncpp-dev libsimpleini-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sdcc binutils srecord python3-intelhex hyperfine
  qt6-base-dev qt6-qpa-plugins libqt6svg6 libxcb1-dev libxcb-keysyms1-dev libgl-dev xvfb xdotool xauth fonts-dejavu-core fonts-wqy-microhei
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "bootstrap: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
