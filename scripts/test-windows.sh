#!/usr/bin/env bash
# The Windows job: installs the cross toolchain and Wine, builds Qt 6 for mingw-w64 from Debian's
# source (or takes it from its cache, scripts/bootstrap-windows-qt.sh), builds the core, the
# simulator, quillon.exe, quillon-cli.exe and every test with mingw-w64 (warnings are errors),
# runs the whole suite under Wine (the window's tests on Qt's offscreen platform), writes the
# example firmware through quillon-cli.exe on the simulated programmer, packs the portable zip
# and the installer (scripts/package-windows.sh) and runs the deployed window on Xvfb
# (scripts/test-windows-window.sh).
# QUILLON_WINDOWS_GUI=0 leaves the window out: quillon-cli.exe and its tests only, no Qt build.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/bootstrap-windows.sh
gui=${QUILLON_WINDOWS_GUI:-1}
if [ "$gui" = 1 ]; then
  QUILLON_QT_PREFIX=$(bash scripts/bootstrap-windows-qt.sh | tail -1)
  export QUILLON_QT_PREFIX
  [ -f "$QUILLON_QT_PREFIX/lib/cmake/Qt6/Qt6Config.cmake" ] || { echo "test-windows: no Qt in $QUILLON_QT_PREFIX" >&2; exit 1; }
else
  export QUILLON_QT_PREFIX=""
fi
export WINEPREFIX="$ROOT/build/wineprefix"
cleanup() { WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
# One entry per test program (tests/CMakeLists.txt): a Wine start per program, not per case.
ctest --preset windows -j "$(nproc)"

# The example firmware, written and verified by the Windows program.
work=$(mktemp -d)
trap 'rm -rf "$work"; cleanup' EXIT
cp examples/blink/blink.ihx "$work/blink.hex"
(cd "$work" && "$ROOT/scripts/wine-run.sh" "$ROOT/build/windows/cli/quillon-cli.exe" \
   --sim write --chip NRF24LE1_16K blink.hex) | tee "$work/write.log"
grep -q "Verify Success" "$work/write.log"

if [ "$gui" = 1 ]; then
  bash scripts/package-windows.sh
  bash scripts/test-windows-window.sh
else
  (cd build/windows && cpack -G ZIP >/dev/null)
  ls -l build/windows/quillon-cli-*-windows-x64.zip
fi
