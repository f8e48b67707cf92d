#!/usr/bin/env bash
# Wall time and peak memory of a whole quillon-cli write (erase, write, verify) against the
# simulated programmer paced like full-speed USB: one 64-byte report per millisecond, so the
# image packets alone take 256 ms for 16 KiB and 512 ms for 32 KiB. Prints each run's ratio to
# that bound, the peak resident set size, and a breakdown (start-up, connect) for when the ratio
# is off. Builds nothing: give it a release quillon-cli.
#
#   bench/write_timing.sh path/to/quillon-cli [runs]
set -euo pipefail

cli=${1:?usage: $0 path/to/quillon-cli [runs]}
runs=${2:-10}
[[ -x $cli ]] || { echo "not an executable: $cli" >&2; exit 2; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 16384 /dev/urandom > img16k.bin
head -c 32768 /dev/urandom > img32k.bin

# Mean wall time of a command in milliseconds: hyperfine when present, else repeated runs.
mean_ms() {
    if command -v hyperfine > /dev/null; then
        hyperfine --style none --shell=none --warmup 1 --runs "$runs" --export-json t.json "$*" > /dev/null 2>&1
        python3 -c 'import json,sys; r=json.load(open("t.json"))["results"][0]; print("%.1f %.1f %.1f" % (r["mean"]*1e3, r["min"]*1e3, r["stddev"]*1e3))'
    else
        local total=0 min=0 t0 t1 d
        for ((i = 0; i < runs; i++)); do
            t0=$(date +%s%N); "$@" > /dev/null; t1=$(date +%s%N)
            d=$(( (t1 - t0) / 1000 ))
            total=$((total + d)); (( min == 0 || d < min )) && min=$d
        done
        awk -v t="$total" -v n="$runs" -v m="$min" 'BEGIN { printf "%.1f %.1f -\n", t / n / 1000, m / 1000 }'
    fi
}

# Peak resident set size in KiB: /usr/bin/time when present, else the kernel's high-water mark.
peak_kib() {
    if [[ -x /usr/bin/time ]]; then
        /usr/bin/time -v "$@" 2>&1 > /dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
    else
        "$@" > /dev/null & local pid=$! hwm=0 v
        while kill -0 "$pid" 2> /dev/null; do
            v=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2> /dev/null || true)
            [[ -n $v ]] && hwm=$v
            sleep 0.005
        done
        wait "$pid"
        echo "$hwm"
    fi
}

status=0
measure() {  # label bound_ms command...
    local label=$1 bound=$2; shift 2
    if ! "$@" > out.txt 2>&1; then
        echo "$label: the write failed:" >&2; cat out.txt >&2; status=1; return
    fi
    read -r mean min sd < <(mean_ms "$@")
    local kib; kib=$(peak_kib "$@")
    awk -v l="$label" -v m="$mean" -v mn="$min" -v sd="$sd" -v b="$bound" -v k="$kib" 'BEGIN {
        r = m / b
        printf "%-24s mean %7.1f ms (min %.1f, sd %s)  bound %d ms  ratio %.3f %s  peak RSS %.1f MiB %s\n",
               l, m, mn, sd, b, r, (r <= 1.03 ? "[ok]" : "[over 1.03]"), k / 1024, (k < 16384 ? "[ok]" : "[over 16 MiB]")
    }'
}

echo "quillon-cli: $cli   runs: $runs   $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
measure "write 16 KiB (paced)" 256 "$cli" --quiet --sim --sim-paced write --chip NRF24LE1_16K img16k.bin
measure "write 32 KiB (paced)" 512 "$cli" --quiet --sim lu1-32k --sim-paced write --chip NRF24LU1_32K img32k.bin

# Where the time beyond the packets goes: process start-up alone, the search and connect
# handshake alone (detect), and the unpaced write (everything but the USB pacing).
echo "breakdown by command:"
read -r mean min _ < <(mean_ms /bin/true)
printf "  %-58s mean %7.1f ms (min %.1f)\n" "/bin/true (bare process start, for scale)" "$mean" "$min"
for cmd in "--version" "--quiet --sim --sim-paced detect" \
           "--quiet --sim write --chip NRF24LE1_16K img16k.bin" \
           "--quiet --sim lu1-32k write --chip NRF24LU1_32K img32k.bin"; do
    # shellcheck disable=SC2086
    read -r mean min _ < <(mean_ms "$cli" $cmd)
    printf "  %-58s mean %7.1f ms (min %.1f)\n" "$cmd" "$mean" "$min"
done

# The same paced write cut into phases by the log's millisecond time stamps: start-up (process
# start to "HID Opened"), connect (to "Write FLASH"), command (to the programmer's go-ahead),
# stream (to "Write finish"), checksum (to the verify line) and exit (to the process's end).
phases() {  # label command...
    local label=$1; shift
    for ((i = 0; i < runs; i++)); do
        local t0 t1
        t0=$(date +%s%N); "$@" > log.txt; t1=$(date +%s%N)
        python3 - "$t0" "$t1" log.txt <<'PY'
import re, sys, time
t0, t1 = int(sys.argv[1]) / 1e6, int(sys.argv[2]) / 1e6
day = time.mktime(time.localtime(t0 / 1000)[:3] + (0, 0, 0, 0, 0, -1)) * 1000
marks = {}
for line in open(sys.argv[3], encoding="utf-8"):
    m = re.match(r"\[\S+ (\d+):(\d+):(\d+) (\d+)\]  (.*)", line)
    if not m:
        continue
    h, mi, s, ms, text = int(m[1]), int(m[2]), int(m[3]), int(m[4]), m[5]
    t = day + ((h * 60 + mi) * 60 + s) * 1000 + ms
    for key, start in (("open", "HID Opened"), ("cmd", "Write FLASH"), ("go", "\u5f00\u59cb\u5199"),
                       ("done", "Write finish"), ("verify", "Verify")):
        if text.startswith(start):
            marks.setdefault(key, t)
order = ["open", "cmd", "go", "done", "verify"]
if any(k not in marks for k in order):
    sys.exit("missing log lines: " + ", ".join(k for k in order if k not in marks))
pts = [t0] + [marks[k] for k in order] + [t1]
print(" ".join("%.0f" % (b - a) for a, b in zip(pts, pts[1:])))
PY
    done | awk -v l="$label" '{ for (i = 1; i <= NF; i++) { s[i] += $i } n++ }
        END { printf "  %-22s start-up %5.1f  connect %4.1f  command %4.1f  stream %6.1f  checksum %4.1f  exit %4.1f ms (means of %d)\n",
                     l, s[1] / n, s[2] / n, s[3] / n, s[4] / n, s[5] / n, s[6] / n, n }'
}
echo "phases of the paced write (log time stamps have 1 ms resolution):"
phases "16 KiB" "$cli" --sim --sim-paced write --chip NRF24LE1_16K img16k.bin
phases "32 KiB" "$cli" --sim lu1-32k --sim-paced write --chip NRF24LU1_32K img32k.bin
exit $status
