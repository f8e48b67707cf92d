#!/bin/sh
# A line on PostgreSQL: 4 station processes x 4 paced simulated programmers (one 64-byte report
# per millisecond per direction, as a full-speed HID endpoint), each unit taking its serial and a
# MAC address from one store on 127.0.0.1, 16 KiB image with read-back. Prints units per hour
# against the wire bound: the units the 16 programmers would finish if a unit cost only its
# reports on the wire (2 x 256 ms: the image out, the read-back in). Two figures: the units'
# own time (from the unit's start transaction to its result on record; the bound's ratio that
# the station and its store reach), and the wall clock of the whole run (chip swaps included,
# which on a real line are the operator's hands, in the simulator a 100 ms gap per chip). The
# wall clock is also put against a second bound that grants each unit its chip swap (wire + the
# 100 ms gap): what is left below that one is the tool's own (polls, store, USB turnarounds). The
# same line with a counter file and no store runs next, for comparison, and the store's line once
# more polling for the chip every 50 ms instead of every 20 ms.
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
# The run with another chip poll takes its MAC addresses from a pool of its own.
sed 's/^02:/06:/' "$dir/macs.txt" >"$dir/macs-poll.txt"
"$cli" store load-pool --store "$url" --pool mac-poll "$dir/macs-poll.txt" >/dev/null

line() {  # name poll-ms extra-args...: 4 processes x 4 programmers, their JSON lines in $dir/NAME-P.out
    name=$1; poll=$2; shift 2
    mkdir -p "$dir/$name-chips"
    start=$(date +%s.%N)
    for p in 1 2 3 4; do
        "$cli" station --sim "swap:$units" --sim-paced --sim-count 4 --all --sim-flash-dir "$dir/$name-chips" \
            --chip NRF24LE1_16K "$dir/fw.bin" --serial 0x3FFC:u32le --count $((4 * units)) --poll-ms "$poll" --json \
            "$@" >"$dir/$name-$p.out" 2>&1 &
    done
    wait
    end=$(date +%s.%N)
    python3 - "$name" "$poll" "$start" "$end" "$dir/$name-"[1-4].out <<'PY'
import json, sys
name, poll, start, end, files = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4]), sys.argv[5:]
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
# The simulator leaves the pins empty for swap_ms after each unit: an operator's time, not the tool's.
swap_ms = 100.0
swap_bound = programmers * 3600 * 1000 / (wire_ms + swap_ms)
per_hour = good / wall * 3600
print(f"  wall clock, chip poll {poll} ms: {per_hour:.0f} units/h; wire bound {bound:.0f} (ratio {per_hour / bound:.3f}), "
      f"wire + {swap_ms:.0f} ms swap bound {swap_bound:.0f} (ratio {per_hour / swap_bound:.3f})")
PY
}

# The store's line first, then the same line on one counter file and one unit log, then the
# store's line with a slower chip poll.
line store 20 --store "$url" --data mac@0x3FF0:hex:6 --journal "$dir/journal" --lot bench
echo 0 >"$dir/serial.txt"
line files 20 --serial-file "$dir/serial.txt" --log "$dir/units.log"
line store-poll-50 50 --store "$url" --data mac-poll@0x3FF0:hex:6 --journal "$dir/journal-poll" --lot bench
