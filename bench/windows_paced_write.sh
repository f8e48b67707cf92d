#!/usr/bin/env bash
# Wire time of a paced 16 KiB Write by quillon-cli.exe under Wine, against the same run on
# Linux when a Linux build is given: the simulated programmer paces one 64-byte report per
# millisecond, so the stream's bound is 256 ms. Prints the time from "Write FLASH" to
# "Write finish" of each run (the log's millisecond stamps), then min / median / max.
# Usage: bench/windows_paced_write.sh [RUNS] [LINUX_QUILLON_CLI]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
runs=${1:-10}
linux_cli=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 16384 /dev/urandom > "$work/image.bin"

measure() {
  local label=$1; shift
  local times=()
  for _ in $(seq "$runs"); do
    (cd "$work" && "$@" --sim --sim-paced write --chip NRF24LE1_16K image.bin 2>/dev/null) > "$work/log" || true
    times+=("$(python3 - "$work/log" <<'PY'
import re, sys
stamps = {}
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    m = re.search(r"(\d+):(\d\d):(\d\d)\D*?(\d{3})\]", line)
    if not m: continue
    t = (int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3])) * 1000 + int(m[4])
    for key in ("Write FLASH", "Write finish"):
        if key in line: stamps.setdefault(key, t)
print(stamps["Write finish"] - stamps["Write FLASH"] if len(stamps) == 2 else "nan")
PY
)")
  done
  python3 - "$label" "${times[@]}" <<'PY'
import statistics, sys
label, values = sys.argv[1], [float(v) for v in sys.argv[2:] if v != "nan"]
if not values:
    print(f"{label}: no complete run"); sys.exit(0)
print(f"{label}: runs {len(values)}, min {min(values):.0f} ms, median {statistics.median(values):.0f} ms, "
      f"max {max(values):.0f} ms (bound 256 ms, +5% = 269 ms)")
PY
}

measure "windows (wine)" "$ROOT/scripts/wine-run.sh" "$ROOT/build/windows/cli/quillon-cli.exe"
if [ -n "$linux_cli" ]; then measure "linux" "$linux_cli"; fi
