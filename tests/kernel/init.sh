#!/bin/busybox sh
# PID 1 of the kernel-test VM (busybox initramfs built by scripts/test-kernel.sh): loads the
# modules for virtio-9p and overlayfs, mounts the host's root read-only under a tmpfs overlay,
# mounts the writable result share and hands over to the test driver named on the kernel command
# line (quillon.run=). Any failure here ends in a power-off, which the host reads as "no result".
/bin/busybox mkdir -p /bin /proc /sys /dev /host /rw /newroot
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() { echo "init: $*"; echo o > /proc/sysrq-trigger; sleep 60; }
while read -r m; do insmod "/modules/$m" || fail "insmod $m failed"; done < /modules/order
run=
for a in $(cat /proc/cmdline); do
  case "$a" in quillon.run=*) run="${a#quillon.run=}" ;; esac
done
# The host's files do not change while the VM runs: a loose cache saves most 9p round trips.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /host || fail "no host root"
mount -t tmpfs -o size=768m tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /newroot || fail "no overlay"
mkdir -p /newroot/vm-out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 vmout /newroot/vm-out || fail "no result share"
umount /proc /sys
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
echo "init: host root mounted after $(cut -d' ' -f1 /newroot/proc/uptime) s"
[ -n "$run" ] || fail "no quillon.run= on the kernel command line"
exec switch_root /newroot /bin/bash "$run"
