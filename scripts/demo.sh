#!/usr/bin/env bash
# The main job: installs what is needed, builds quillon-cli, and writes the example firmware to a
# programmer. Without hardware (or with QUILLON_SIM=1) it uses the simulated programmer, paced
# like real full-speed USB, and reads the chip back afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target quillon-cli
cli=build/release/cli/quillon-cli
# sdcc names its output .ihx; the loader knows HEX files by the ending "hex".
firmware=build/release/blink.hex
cp examples/blink/blink.ihx "$firmware"

"$cli" hex2bin "$firmware" build/release/blink.bin
if [ "${QUILLON_SIM:-}" != "1" ] && "$cli" list 2>/dev/null | grep -q '04d8:003f'; then
  echo "== programmer found: writing $firmware to the chip"
  "$cli" write --chip NRF24LE1_16K "$firmware"
else
  echo "== no programmer connected: using the simulated programmer"
  flash=build/release/sim-flash.bin
  rm -f "$flash"
  "$cli" --sim --sim-paced --sim-flash "$flash" write --chip NRF24LE1_16K "$firmware"
  "$cli" --sim --sim-flash "$flash" read --chip NRF24LE1_16K build/release/readback.bin
  if cmp -n "$(stat -c %s build/release/blink.bin)" build/release/blink.bin build/release/readback.bin; then
    echo "== read-back matches the image"
  else
    echo "== read-back differs from the image" >&2
    exit 1
  fi
fi
