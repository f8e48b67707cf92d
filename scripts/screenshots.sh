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
  for n in $(seq 131 170); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 100); do DISPLAY=$display xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
  out=build/screenshots/windows
  mkdir -p "$out"
  DISPLAY=$display QUILLON_WINE_DLL_DIRS="$qt/bin:$runtime" scripts/wine-run.sh "$exe" -platform windows "Z:$PWD/$out"
  exit 0
fi
bash scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target quillon_screenshots
QT_QPA_PLATFORM=offscreen "build/$preset/tests/gui/quillon_screenshots" build/screenshots
