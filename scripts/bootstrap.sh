#!/usr/bin/env bash
# Installs every Debian package that Quillon needs to build, test, benchmark and fuzz.
# Idempotent: packages already present are not fetched again, and apt-get runs only when
# something is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt.sh

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libhidapi-dev libudev-dev libjsoncpp-dev libsimpleini-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sdcc binutils srecord python3-intelhex hyperfine
  qt6-base-dev qt6-qpa-plugins libqt6svg6 libxcb1-dev libxcb-keysyms1-dev libgl-dev xvfb xdotool xauth fonts-dejavu-core fonts-wqy-microhei
  # The desktop entry's test runs the validator.
  desktop-file-utils
  # The database store: SQLite and libpq, and a PostgreSQL server the tests start themselves.
  libpq-dev libsqlite3-dev postgresql
)
apt_install "${PACKAGES[@]}"
