#!/usr/bin/env bash
# The real HID path on a real Linux kernel: boots Debian's kernel in QEMU (KVM when usable, else
# TCG; QUILLON_KERNEL_ACCEL=tcg forces TCG), with the host's root read-only over virtio-9p under
# a tmpfs overlay, and runs tests/kernel/vm-tests.sh there against our USB programmer emulator on
# dummy_hcd. Exits 0 only when every test passed; skips (exit 0) only where QEMU cannot run.
# The kernel and initramfs are cached in /var/cache/quillon/kernel/; nothing else leaves the clone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# The VM finds the checkout through its kernel command line, whose words cannot hold a blank.
case "$root" in
  *[[:space:]]*) echo "test-kernel: FAIL: the checkout's path \"$root\" has a blank, which the VM's kernel command line cannot carry"; exit 1 ;;
esac
limit=${QUILLON_KERNEL_TIMEOUT:-600}   # seconds for the whole VM run (a hang guard: ~100 s alone, 312 s seen on a loaded machine)
t0=$(date +%s)

if [ "$(dpkg --print-architecture 2>/dev/null || uname -m)" != amd64 ]; then
  echo "test-kernel: SKIP: Debian's amd64 kernel and qemu-system-x86 need an amd64 machine"
  exit 0
fi

. scripts/apt.sh
apt_install qemu-system-x86 linux-image-amd64 busybox-static kmod udev cpio
if ! qemu-system-x86_64 --version >/dev/null 2>&1; then
  echo "test-kernel: SKIP: qemu-system-x86_64 cannot run on this machine"
  exit 0
fi

# The kernel linux-image-amd64 points to, and its modules.
kpkg=$(dpkg-query -W -f='${Depends}' linux-image-amd64 | grep -o 'linux-image-[^ ,]*' | head -1)
kver=${kpkg#linux-image-}
[ -r "/boot/vmlinuz-$kver" ] && [ -d "/lib/modules/$kver" ] || { echo "test-kernel: no kernel $kver"; exit 1; }

# The debug build of scripts/test.sh (CI has just built it, so only the two test helpers are
# added): it compiles in about two thirds of the release build's time, and the tests need no
# speed. Only the programs the VM runs are built.
build=build/dev
cmake --preset dev >/dev/null
nice -n 10 cmake --build "$build" -j "${QUILLON_KERNEL_JOBS:-2}" --target quillon-cli quillon \
  quillon-usb-emulator quillon-window-hotplug-check
t1=$(date +%s)

# The initramfs: static busybox, our init, and the modules that mount 9p and the overlay (in
# dependency order). Rebuilt when the kernel, the init script or the module list changes.
initmods=(virtio_pci 9pnet_virtio 9p overlay)
order=$(for m in "${initmods[@]}"; do modprobe -S "$kver" --show-depends "$m"; done |
        awk '$1 == "insmod" && !seen[$2]++ { print $2 }')
key=$( (cat tests/kernel/init.sh; echo "$order") | sha256sum | cut -c1-16)
cache=/var/cache/quillon/kernel/$kver-$key
if [ ! -s "$cache/initrd.gz" ] || [ ! -s "$cache/vmlinuz" ]; then
  echo "test-kernel: building the initramfs for $kver in $cache"
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  mkdir -p "$stage/bin" "$stage/modules" "$cache"
  cp /bin/busybox "$stage/bin/busybox"
  install -m 0755 tests/kernel/init.sh "$stage/init"
  for ko in $order; do
    cp "$ko" "$stage/modules/"
    basename "$ko" >> "$stage/modules/order"
  done
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) > "$cache/initrd.gz.tmp"
  cp "/boot/vmlinuz-$kver" "$cache/vmlinuz.tmp"
  mv "$cache/initrd.gz.tmp" "$cache/initrd.gz"
  mv "$cache/vmlinuz.tmp" "$cache/vmlinuz"
fi

# KVM only when a guest really runs on it: some hosts offer a /dev/kvm (nested or
# paravirtual) on which the guest makes no progress. The probe boots the kernel to its first
# console line, which takes well under a second where KVM works.
kvm_works() {
  [ -r /dev/kvm ] && [ -w /dev/kvm ] || return 1
  local probe
  probe=$(mktemp)
  timeout -k 2 10 qemu-system-x86_64 -nodefaults -no-user-config -accel kvm -m 256 -display none \
    -no-reboot -chardev "file,id=con,path=$probe" -serial chardev:con -kernel "$cache/vmlinuz" \
    -append "console=ttyS0 panic=-1 rdinit=/none" >/dev/null 2>&1
  grep -q 'Linux version' "$probe"
  local ok=$?
  rm -f "$probe"
  return $ok
}
accel=${QUILLON_KERNEL_ACCEL:-}
if [ -z "$accel" ]; then
  if kvm_works; then
    accel=kvm
  else
    accel=tcg
    [ -e /dev/kvm ] && echo "test-kernel: /dev/kvm is there but a guest does not run on it: using TCG"
  fi
fi
out=$root/$build/vm-out
rm -rf "$out"
mkdir -p "$out"
console=$root/$build/vm-console.log
echo "test-kernel: booting $kver under QEMU ($accel), time limit ${limit}s"
set +e
timeout -k 10 "$limit" qemu-system-x86_64 -nodefaults -no-user-config -accel "$accel" \
  -m 1536 -smp 2 -display none -no-reboot \
  -chardev "file,id=con,path=$console" -serial chardev:con \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd.gz" \
  -append "console=ttyS0 loglevel=4 panic=-1 quillon.run=$root/tests/kernel/vm-tests.sh quillon.build=$root/$build ${QUILLON_KERNEL_APPEND:-}" \
  -fsdev "local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap" \
  -device "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot" \
  -fsdev "local,id=vmout,path=$out,security_model=none" \
  -device "virtio-9p-pci,fsdev=vmout,mount_tag=vmout"
qemu=$?
set -e
t2=$(date +%s)
# The driver's own lines (PASS/FAIL and the tally), without the kernel's.
if [ -f "$out/tests.log" ]; then cat "$out/tests.log"; else tail -n 40 "$console"; fi
echo "test-kernel: build $((t1 - t0)) s, VM $((t2 - t1)) s ($accel); console log: $build/vm-console.log"
if [ "$qemu" -eq 124 ] || [ "$qemu" -eq 137 ]; then
  echo "test-kernel: FAIL: the VM did not finish within ${limit}s"
  exit 1
fi
rc=$(sed -n 's/^rc //p' "$out/result" 2>/dev/null || true)
if [ -z "$rc" ]; then
  echo "test-kernel: FAIL: the VM gave no result (QEMU exit $qemu)"
  exit 1
fi
exit "$rc"
