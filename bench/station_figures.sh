#!/bin/sh
# Station throughput on the paced simulator (one 64-byte report per millisecond per direction):
# units per hour for one programmer and for eight in parallel, 16 KiB image with read-back, and
# the station's time per unit beyond the wire (2 x 256 reports). Usage: station_figures.sh CLI [UNITS]
set -eu
cli=${1:?usage: station_figures.sh path/to/quillon-cli [units-per-programmer]}
units=${2:-20}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 16384 /dev/urandom >"$dir/fw.bin"

run() {  # programmers extra-args...
    n=$1; shift
    echo 0 >"$dir/serial.txt"; rm -f "$dir/units.log"
    start=$(date +%s.%N)
    "$cli" station --sim "swap:$units" --sim-paced --sim-count "$n" "$@" --chip NRF24LE1_16K "$dir/fw.bin" \
        --serial 0x3FFC:u32le --serial-file "$dir/serial.txt" --count $((n * units)) --log "$dir/units.log" -q >/dev/null
    end=$(date +%s.%N)
    python3 - "$dir/units.log" "$start" "$end" "$n" <<'PY'
import json, sys
log, start, end, n = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
units = [json.loads(l) for l in open(log)]
good = sum(u["result"] == "pass" for u in units)
durations = sorted(u["duration_ms"] for u in units)
mean = sum(durations) / len(durations)
wall = end - start
print(f"{n} programmer(s): {good} good units in {wall:.2f} s = {good / wall * 3600:.0f} units/h; "
      f"unit {mean:.1f} ms mean (median {durations[len(durations) // 2]} ms), "
      f"{mean - 512:.1f} ms beyond 2 x 256 ms of wire; {wall * n / good * 1000:.0f} ms per unit per programmer incl. swap")
PY
}

run 1
run 8 --all
