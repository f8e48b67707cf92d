#!/bin/sh
# A line on PostgreSQL: 4 station processes x 4 paced simulated programmers (one 64-byte report
# per millisecond per direction, as a full-speed HID endpoint), each unit taking its serial and a
# MAC address from one store on 127.0.0.1, 16 KiB image with read-back. Prints units per hour
# against the wire bound: the units the 16 programmers would finish if a unit cost only its
# reports on the wire (2 x 256 ms: the image out, the read-back in). Two figures: the units'
# own time (from the unit's start transaction to its result on record; the bound's ratio that
# the station and its store reach), and the wall clock of the whole run (chip swaps included,
# which on a real line are the operator's hands, in the simulator a 100 ms gap per chip). The same
# line with a counter file and no store runs first, for comparison.
# Usage: line_figures.sh path/to/quillon-cli [units-per-programmer]   (needs Debian's postgresql)
set -eu
cli=${1:?usage: line_figures.sh path/to/quillon-cli [units-per-programmer]}
units=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
chmod 755 "$dir"
pg="$here/../scripts/pg-scratch.sh"
trap 'bash "$pg" stop "$dir/pg" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
head -c 16384 /dev/urandom >"$dir/fw.bin"
url=$(bash "$pg" start "$dir/pg" | tail -n 1)
bash "$pg" psql "$dir/pg" -c "CREATE DATABASE line" >/dev/null
url="${url%/*}/line"
python3 -c "
for i in range(1, 4 * 4 * $units + 1): print('02:00:00:%02X:%02X:%02X' % (i >> 16, (i >> 8) & 255, i & 255))
" >"$dir/macs.txt"
"$cli" store load-pool --store "$url" --pool mac "$dir/macs.txt" >/dev/null

line() {  # name extra-args...: 4 processes x 4 programmers, their JSON lines in $dir/NAME-P.out
    name=$1; shift
    mkdir -p "$dir/$name-chips"
    start=$(date +%s.%N)
    for p in 1 2 3 4; do
        "$cli" station --sim "swap:$units" --sim-paced --sim-count 4 --all --sim-flash-dir "$dir/$name-chips" \
            --chip NRF24LE1_16K "$dir/fw.bin" --serial 0x3FFC:u32le --count $((4 * units)) --poll-ms 20 --json \
            "$@" >"$dir/$name-$p.out" 2>&1 &
    done
    wait
    end=$(date +%s.%N)
    python3 - "$name" "$start" "$end" "$dir/$name-"[1-4].out <<'PY'
import json, sys
name, start, end, files = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4:]
units = []
for f in files:
    for line in open(f):
        if '"type":"unit"' in line and '"result":"taken"' not in line:
            units.append(json.loads(line))
good = sum(u["result"] == "pass" for u in units)
durations = sorted(u["duration_ms"] for u in units)
mean = sum(durations) / len(durations)
wall = end - start
programmers, wire_ms = 16, 512.0
bound = programmers * 3600 * 1000 / wire_ms
own = programmers * 3600 * 1000 / mean
print(f"{name}: {good} good units of {len(units)} in {wall:.1f} s; unit {mean:.1f} ms mean, median "
      f"{durations[len(durations) // 2]} ms, p99 {durations[min(len(durations) - 1, len(durations) * 99 // 100)]} ms")
print(f"  units/h on the units' own time {own:.0f} = {own / bound:.3f} of the wire bound {bound:.0f}")
print(f"  units/h on the wall clock (chip swaps included) {good / wall * 3600:.0f} = {good / wall * 3600 / bound:.3f} of it")
PY
}

# The store's line first, then the same line on one counter file and one unit log.
line store --store "$url" --data mac@0x3FF0:hex:6 --journal "$dir/journal" --lot bench
echo 0 >"$dir/serial.txt"
line files --serial-file "$dir/serial.txt" --log "$dir/units.log"
