#!/usr/bin/env bash
# Renders every tab of the window in English and Chinese, with a 512 KiB image in the hex view,
# into build/screenshots/*.png (offscreen; nothing is compared). Usage: scripts/screenshots.sh [PRESET]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
bash scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target quillon_screenshots
QT_QPA_PLATFORM=offscreen "build/$preset/tests/gui/quillon_screenshots" build/screenshots
