#!/usr/bin/env bash
# Whole-process comparison of `quillon-cli hex2bin` with GNU objcopy, srec_cat and Python
# intelhex: generates HEX files for 16 KiB, 32 KiB, 512 KiB and 16 MiB images (an extended
# linear address record every 64 KiB), checks that every tool produces the same bytes, then
# times them side by side with hyperfine and prints how many times faster quillon-cli is.
# quillon-cli runs as users run it, warnings on (the conversion notes the file's oddities).
# Two places, since the file system is part of what a user waits for: a memory file system
# (/dev/shm) and a disk (the build directory, or BENCH_DISK_DIR). OUT is derived from a HEX file
# that stays, so quillon-cli replaces it atomically without flushing it, as objcopy does not
# flush either. BENCH_PLACES="tmpfs" or "disk" times one of them only; BENCH_SIZES="512k" one size.
# Usage: bench/hex2bin.sh [BUILD_DIR]   (a Release build; default build/release, the release preset:
#        cmake --preset release && cmake --build build/release -j2 --target quillon-cli)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
cli="$PWD/$build/cli/quillon-cli"
[ -x "$cli" ] || { echo "no $cli: configure with -DCMAKE_BUILD_TYPE=Release and build quillon-cli" >&2; exit 1; }
# The distribution's Python has the intelhex package even where another python3 comes first.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

places="${BENCH_PLACES:-tmpfs disk}"
works=()
trap 'rm -rf "${works[@]}"' EXIT
bench_place() {
local place=$1 parent
if [ "$place" = tmpfs ]; then
    parent=/dev/shm
    [ -d /dev/shm ] && [ -w /dev/shm ] || { echo "== tmpfs: no writable /dev/shm, skipped"; return 0; }
else
    parent="${BENCH_DISK_DIR:-$PWD/$build}"
fi
work=$(mktemp -d "$parent/quillon-hex2bin.XXXXXX")
works+=("$work")
echo "#### $place: files in $work ($(df --output=fstype "$work" | tail -1))"

"$py" - "$work" <<'EOF'
import os, random, sys
work = sys.argv[1]
rnd = random.Random(1)
def record(data, offset, rtype):
    b = bytes([len(data), offset >> 8, offset & 0xFF, rtype]) + data
    return ':%s%02X\r\n' % (b.hex().upper(), (-sum(b)) & 0xFF)
for name, size in (('16k', 16 << 10), ('32k', 32 << 10), ('512k', 512 << 10), ('16m', 16 << 20)):
    image = rnd.randbytes(size)
    out = []
    for address in range(0, size, 16):
        if address % 0x10000 == 0:
            out.append(record(bytes([address >> 24 & 0xFF, address >> 16 & 0xFF]), 0, 4))
        out.append(record(image[address:address + 16], address & 0xFFFF, 0))
    out.append(':00000001FF\r\n')
    with open(os.path.join(work, name + '.hex'), 'w', newline='') as f:
        f.write(''.join(out))
EOF

quillon() { echo "'$cli' hex2bin --max-size 16m '$work/$1.hex' '$work/$1.quillon.bin'"; }
objcopy_cmd() { echo "objcopy -I ihex -O binary --gap-fill 0xFF '$work/$1.hex' '$work/$1.objcopy.bin'"; }
srec_cmd() { echo "srec_cat '$work/$1.hex' -intel -o '$work/$1.srec.bin' -binary"; }
intelhex_cmd() {
    echo "$py -c 'import sys; from intelhex import IntelHex; IntelHex(sys.argv[1]).tobinfile(sys.argv[2])' '$work/$1.hex' '$work/$1.intelhex.bin'"
}

have_srec=1; command -v srec_cat >/dev/null || have_srec=0
have_intelhex=1; "$py" -c 'import intelhex' 2>/dev/null || have_intelhex=0

for size in ${BENCH_SIZES:-16k 32k 512k 16m}; do
    names=(quillon objcopy)
    cmds=("$(quillon $size)" "$(objcopy_cmd $size)")
    if [ $have_srec = 1 ]; then names+=(srec_cat); cmds+=("$(srec_cmd $size)"); fi
    if [ $have_intelhex = 1 ]; then names+=(intelhex); cmds+=("$(intelhex_cmd $size)"); fi
    for i in "${!cmds[@]}"; do
        start=$(date +%s%N)
        bash -c "${cmds[$i]}"
        single[$i]=$(( ($(date +%s%N) - start) / 1000000 ))
    done
    for other in objcopy srec intelhex; do
        f="$work/$size.$other.bin"
        [ -f "$f" ] || continue
        cmp "$work/$size.quillon.bin" "$f" || { echo "MISMATCH: $size quillon vs $other" >&2; exit 1; }
    done
    echo "== $size image ($(stat -c %s "$work/$size.hex") bytes of HEX): all outputs identical"
    args=()
    for i in "${!cmds[@]}"; do
        # Python takes half a minute per 16 MiB run: one timed run above is enough.
        if [ $size = 16m ] && [ "${names[$i]}" = intelhex ]; then
            echo "  intelhex  one run: ${single[$i]} ms (not repeated)"
            continue
        fi
        args+=(-n "${names[$i]}" "${cmds[$i]}")
    done
    runs=(--min-runs 10)
    [ $size = 16m ] && runs=(--runs 10)
    # -N: no intermediate shell, so start-up costs are the tools' own.
    hyperfine -N --warmup 3 "${runs[@]}" --export-json "$work/$size.json" "${args[@]}" >/dev/null
    "$py" - "$work/$size.json" <<'EOF2'
import json, sys
results = json.load(open(sys.argv[1]))['results']
base, base_median = results[0]['mean'], results[0]['median']
# The median beside the mean: on a machine that other jobs load, a few slow runs move the mean.
for r in results:
    print('  %-9s %9.2f ms +- %6.2f (median %7.2f, user %6.2f, sys %6.2f)  %5.2fx quillon (median %5.2fx)' % (
        r['command'], r['mean'] * 1000, r['stddev'] * 1000, r['median'] * 1000, r['user'] * 1000,
        r['system'] * 1000, r['mean'] / base, r['median'] / base_median))
EOF2
done
}

for place in $places; do bench_place "$place"; done
