#!/usr/bin/env bash
# Renders every tab of the window in English and Chinese, with a 512 KiB image in the hex view,
# into PNG files (nothing is compared; they are for people to look at).
#   scripts/screenshots.sh [PRESET]  Linux, offscreen, into build/screenshots/*.png
#   scripts/screenshots.sh windows   the Windows build (scripts/test-windows.sh builds it) under
#                                    Wine on a private Xvfb display with Qt's windows platform,
#                                    so Wine's own font rendering shows, into build/screenshots/windows/
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
if [ "$preset" = windows ]; then
  exe=build/windows/tests/gui/quillon_screenshots.exe
  [ -f "$exe" ] || { echo "screenshots: $exe missing (run scripts/test-windows.sh)" >&2; exit 1; }
  qt=$(sed -n 's/^QUILLON_QT_PREFIX:PATH=//p' build/windows/CMakeCache.txt)
  runtime=$(sed -n 's/^QUILLON_WINDOWS_RUNTIME_DIRS_TEXT:INTERNAL=//p' build/windows/CMakeCache.txt)
  . scripts/xvfb.sh
  start_xvfb 1280x1024x24
  trap stop_xvfb EXIT
  out=build/screenshots/windows
  mkdir -p "$out"
  QUILLON_WINE_DLL_DIRS="$qt/bin:$runtime" scripts/wine-run.sh "$exe" -platform windows "Z:$PWD/$out"
  exit 0
fi
bash scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target quillon_screenshots
QT_QPA_PLATFORM=offscreen "build/$preset/tests/gui/quillon_screenshots" build/screenshots
