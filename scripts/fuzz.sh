#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each for SECONDS (default 60). They live in the clang
# ASan+UBSan build of scripts/test.sh asan (build/asan, compiled for libFuzzer's coverage), so after
# that run only the harnesses themselves are compiled here.
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
bash scripts/bootstrap.sh
harnesses=()
for src in fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)" --target "${harnesses[@]}"
for name in "${harnesses[@]}"; do
  f=build/asan/fuzz/$name
  corpus="build/asan/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${name%_fuzz}"
  echo "fuzz: $name for ${secs}s"
  if [ -d "$seeds" ]; then
    "$f" -max_total_time="$secs" -print_final_stats=1 "$corpus" "$seeds" 2>&1 | tail -n 12
  else
    "$f" -max_total_time="$secs" -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
  fi
done
