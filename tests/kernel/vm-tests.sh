#!/bin/bash
# The tests that run inside the kernel-test VM (PID 1 after the initramfs, see init.sh): starts
# udevd and the USB programmer emulator on dummy_hcd, then drives the shipped quillon-cli and the
# window's hot-plug check against it. One PASS/FAIL line per test and a tally; the exit status
# goes to /vm-out/result, then the VM powers off.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
out=/vm-out
ln -sf /proc/self/fd /dev/fd
exec > >(tee "$out/tests.log") 2>&1

finish() {
  echo "rc $1" > "$out/result"
  sync
  sleep 0.5
  echo o > /proc/sysrq-trigger
  sleep 60
}
trap 'finish 98' EXIT

build=
for a in $(cat /proc/cmdline); do
  case "$a" in quillon.build=*) build="${a#quillon.build=}" ;; esac
done
# Every run of the tool has a time limit, so one hang costs one test, not the VM's whole budget.
cli() { timeout -k 5 60 "$build/cli/quillon-cli" "$@"; }
emu=$build/tests/kernel/quillon-usb-emulator
check=$build/tests/kernel/quillon-window-hotplug-check

# The checkout: this script is its tests/kernel/vm-tests.sh.
root=$(cd "$(dirname "$0")/../.." && pwd)
# The host's /run, /tmp and /dev/shm hold the host's own state (udev's database, sockets): the
# guest gets empty ones. A checkout inside one of them (a clone under /tmp) stays where it is:
# it is set aside before the fresh tmpfs covers the folder and put back at the same path (the
# build has that path compiled in).
fresh_tmpfs() {
  local dir=$1
  mkdir -p "$dir"
  case "$root/" in
    "$dir"/*)
      mkdir -p /checkout-aside
      mount --bind "$root" /checkout-aside || { echo "FAIL setup: cannot keep $root visible"; finish 1; }
      mount -t tmpfs tmpfs "$dir"
      mkdir -p "$root" && mount --bind /checkout-aside "$root" || { echo "FAIL setup: cannot put $root back"; finish 1; }
      ;;
    *) mount -t tmpfs tmpfs "$dir" ;;
  esac
}
fresh_tmpfs /run
fresh_tmpfs /tmp
fresh_tmpfs /dev/shm
mkdir -p /dev/pts
for program in "$build/cli/quillon-cli" "$emu" "$check"; do
  [ -x "$program" ] || { echo "FAIL setup: $program is not there in the VM (is the checkout on a file system the host's / shows?)"; finish 1; }
done
modprobe configfs && mount -t configfs configfs /sys/kernel/config
modprobe dummy_hcd num=2 && modprobe libcomposite && modprobe usb_f_hid &&
  modprobe usbhid && modprobe hid_generic || { echo "FAIL setup: modules"; finish 1; }
/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || { echo "FAIL setup: systemd-udevd"; finish 1; }
udevadm trigger --action=add >/dev/null 2>&1
udevadm settle --timeout=60

work=/tmp/quillon-kernel
state=$work/emulator
mkdir -p "$work"
"$emu" "$state" QK-0001 --keyboard 2> "$work/emulator.err" &

# Waits (up to $2 seconds, default 30) for a condition given as a command.
waitfor() {
  local cmd=$1 limit=$((${2:-30} * 10))
  for ((i = 0; i < limit; i++)); do eval "$cmd" && return 0; sleep 0.1; done
  return 1
}
stat_of() { sed -n "s/^$1 //p" "$state/status" 2>/dev/null; }
# One command to the emulator; returns once the emulator has carried it out.
ctl() {
  local before
  before=$(stat_of controls)
  echo "$*" > "$state/control"
  waitfor '[ "$(stat_of controls)" -gt "$before" ]' 20
}
# The host side: a hidraw node of the programmer exists (1) or not (0), after udev is done.
programmer_nodes() {
  grep -l 'HID_ID=0003:000004D8:0000003F' /sys/class/hidraw/*/device/uevent 2>/dev/null | wc -l
}
host_sees() { udevadm settle --timeout=10; waitfor "[ \$(programmer_nodes) -eq $1 ]" 20; }

passed=0 failed=0
run() {
  local name=$1
  shift
  local why
  # Each test in its own shell with a time limit: a hang costs that test, not the run.
  if why=$(timeout -k 5 "$test_limit" bash -c "$*" 2>&1); then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    [ $? -eq 124 ] && why="$why (no end within ${test_limit}s)"
    echo "FAIL $name: $(echo "$why" | tail -n 5 | tr '\n' ' ')"
    failed=$((failed + 1))
  fi
}
expect_rc() {  # expect_rc WANTED COMMAND...: fails with the output when the exit code differs
  local want=$1 got
  shift
  "$@" > "$work/last.out" 2>&1
  got=$?
  [ "$got" -eq "$want" ] || { cat "$work/last.out"; echo "exit $got, wanted $want"; return 1; }
}
ff() { head -c "$1" /dev/zero | tr '\0' '\377'; }
le32() { local i; for i in 0 1 2 3; do printf "\\$(printf '%03o' $(($1 >> (8 * i) & 255)))"; done; }

# Test images: one that fills part of the chip, one that fills all of it; what the flash holds
# after writing each (the rest of a 16 KiB chip stays erased).
head -c 12345 /dev/urandom > "$work/img.bin"
head -c 16384 /dev/urandom > "$work/full.bin"
{ cat "$work/img.bin"; ff $((16384 - 12345)); } > "$work/img.flash"

t_list() {
  local json
  json=$(cli list --json) || return 1
  echo "$json"
  # The report lengths come from the descriptor the kernel hands out in sysfs (one byte for the
  # report ID counted, as the HID capabilities do).
  echo "$json" | grep -q '"vendor_id":"04d8","product_id":"003f","product":"nRF24LE1 programmer","serial":"QK-0001","input_report_length":65,"output_report_length":65,"feature_report_length":0,"programmer":true' || return 1
  echo "$json" | grep -q '"vendor_id":"1d6b","product_id":"0104","product":"Test keyboard","serial":"KBD-1","input_report_length":9,"output_report_length":2,"feature_report_length":0,"programmer":false' || return 1
  [ "$(echo "$json" | grep -c '"type":"device"')" -eq 2 ] || return 1
  cli list | grep '\[programmer\]' | grep -q 'QK-0001'
}

t_detect() {
  expect_rc 0 cli detect --json || return 1
  grep -q '"chip_present":true' "$work/last.out" && grep -q '"serial":"QK-0001"' "$work/last.out"
}

t_write() {
  expect_rc 0 cli write --chip NRF24LE1_16K "$work/img.bin" || return 1
  ctl dump "$work/dump.bin" && cmp "$work/dump.bin" "$work/img.flash"
}

t_read() {
  expect_rc 0 cli read --chip NRF24LE1_16K "$work/read.bin" || return 1
  cmp "$work/read.bin" "$work/dump.bin"
}

# An image whose every 64-byte packet begins with byte $1 (hex), which looks like a report
# number: the host must send the report ID byte before it, or the kernel drops a leading 0x00
# (taken for "no report ID") and every later byte of the packet shifts, while the programmer's
# XOR checksum over the stream still matches. So the flash is compared byte for byte.
t_packet_first_byte() {
  local b=$1 k
  local img=$work/first-$b.bin
  : > "$img"
  for ((k = 0; k < 64; k++)); do printf "\\x$b" >> "$img"; head -c 63 /dev/urandom >> "$img"; done
  { cat "$img"; ff $((16384 - 4096)); } > "$work/first-$b.flash"
  expect_rc 0 cli write --chip NRF24LE1_16K "$img" || return 1
  ctl dump "$work/first-$b.dump" && cmp "$work/first-$b.dump" "$work/first-$b.flash"
}

t_no_chip() {
  ctl chip off || return 1
  expect_rc 6 cli detect || return 1
  expect_rc 6 cli write --chip NRF24LE1_16K "$work/img.bin" || return 1
  ctl chip on
}

t_failed_write() {
  ctl fail-write on || return 1
  expect_rc 6 cli write --chip NRF24LE1_16K "$work/img.bin" || { ctl fail-write off; return 1; }
  ctl fail-write off
}

t_unplug_during_write() {
  ctl unplug-after 64 || return 1
  cli write --chip NRF24LE1_16K "$work/full.bin" > "$work/last.out" 2>&1
  local got=$?
  cat "$work/last.out"
  echo "unplug during a write: exit $got" >> "$out/details.log"
  # The README: unplugged is a device failure (6); a programmer that just went silent is a timeout (5).
  [ "$got" -eq 6 ] || [ "$got" -eq 5 ] || { echo "exit $got, wanted 6 or 5"; return 1; }
  host_sees 0 || { echo "the programmer's hidraw node is still there"; return 1; }
  ctl plug && host_sees 1 || return 1
  expect_rc 0 cli write --chip NRF24LE1_16K "$work/full.bin" || return 1
  ctl dump "$work/dump.bin" && cmp "$work/dump.bin" "$work/full.bin"
}

t_station() {
  ctl chip off || return 1
  echo 999 > "$work/serial.txt"
  rm -f "$work/units.log"
  timeout -k 5 85 "$build/cli/quillon-cli" station --chip NRF24LE1_16K "$work/img.bin" --count 3 --serial 0x3FFC:u32le \
    --serial-file "$work/serial.txt" --log "$work/units.log" > "$work/station.out" 2>&1 &
  local pid=$! k gone
  for k in 1 2 3; do
    ctl chip new || return 1
    # The unit's last record, pass or fail (a failed unit ends the test at once).
    waitfor "[ \$(cat '$work/units.log' 2>/dev/null | grep -Ec '\"result\":\"(pass|fail)\"') -ge $k ]" 40 &&
      [ "$(grep -c '"result":"pass"' "$work/units.log")" -eq "$k" ] ||
      { cat "$work/station.out" "$work/units.log"; echo "unit $k did not pass"; kill "$pid"; return 1; }
    gone=$(grep -c 'chip dected fail' "$work/station.out")
    ctl dump "$work/chip-$k.bin" && ctl chip off || return 1
    # The station polls for the chip: the next one may come only once it has seen this one go,
    # or both look like one chip that never left (after the last one it stops instead).
    if [ "$k" -lt 3 ]; then
      waitfor "[ \$(grep -c 'chip dected fail' '$work/station.out') -gt $gone ]" 40 ||
        { echo "the station did not see chip $k go"; kill "$pid"; return 1; }
    fi
  done
  wait "$pid" || { cat "$work/station.out"; echo "station exit $?"; return 1; }
  for k in 1 2 3; do
    { head -c $((0x3FFC)) "$work/img.flash"; le32 $((999 + k)); } > "$work/chip-$k.want"
    cmp "$work/chip-$k.bin" "$work/chip-$k.want" || return 1
  done
  [ "$(cat "$work/serial.txt")" -eq 1002 ] && ctl chip on
}

t_window() {
  QT_QPA_PLATFORM=offscreen "$check" "$state/control" "$work/no-settings/config.ini"
}

t_keyboard_only() {
  ctl unplug && host_sees 0 || return 1
  local json
  json=$(cli list --json)
  echo "$json"
  [ "$(echo "$json" | grep -c '"type":"device"')" -eq 1 ] &&
    echo "$json" | grep -q '"vendor_id":"1d6b".*"programmer":false' || { ctl plug; return 1; }
  expect_rc 4 cli detect || { ctl plug; return 1; }
  expect_rc 4 cli write --chip NRF24LE1_16K "$work/img.bin" || { ctl plug; return 1; }
  ctl plug && host_sees 1
}

test_limit=100
export build work state out check
export -f $(declare -F | awk '{ print $3 }')
if waitfor '[ "$(stat_of plugged)" = 1 ]' 30 && host_sees 1; then
  # udev has named both devices before the first test.
  waitfor '[ $(ls /sys/class/hidraw | wc -l) -ge 2 ]' 20
  run "list shows the programmer (65/65/0, serial) and the keyboard" t_list
  run "detect finds the programmer and a chip" t_detect
  run "write: the flash holds the image" t_write
  run "read: the file equals the flash" t_read
  for byte in 00 01 02 ff; do
    run "write: packets that begin with 0x$byte reach the chip byte for byte" "t_packet_first_byte $byte"
  done
  run "no chip: detect and write exit 6" t_no_chip
  run "failure reply to a write: exit 6" t_failed_write
  run "unplug during a paced write: exit 6 or 5, then a write after re-plug succeeds" t_unplug_during_write
  run "station: three chips in a row, each with its serial" t_station
  run "window: the udev monitor shows arrival and removal" t_window
  run "keyboard only: listed, never taken for the programmer" t_keyboard_only
else
  echo "FAIL setup: the emulated programmer did not appear"
  cat "$work/emulator.err"
  failed=$((failed + 1))
fi
echo "quit" > "$state/control"
echo "kernel tests: $passed passed, $failed failed"
trap - EXIT
finish $((failed == 0 ? 0 : 1))
