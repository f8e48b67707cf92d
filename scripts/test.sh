#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test. Usage: scripts/test.sh [PRESET]
# PRESET is one of dev (default), asan, tsan, release.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
bash scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
