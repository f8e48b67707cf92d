#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan+UBSan) and runs each for SECONDS (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
bash scripts/bootstrap.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for f in build/fuzz/fuzz/*_fuzz; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${name%_fuzz}"
  echo "fuzz: $name for ${secs}s"
  if [ -d "$seeds" ]; then
    "$f" -max_total_time="$secs" -print_final_stats=1 "$corpus" "$seeds" 2>&1 | tail -n 12
  else
    "$f" -max_total_time="$secs" -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
  fi
done
