#!/usr/bin/env bash
# The virtual zrq4470's base root: Debian 12 i386, minbase, no recommends, with systemd, udev
# and what the BSP's packages depend on. debootstrap's first stage runs here (it only downloads
# and unpacks: this machine runs no i386 program); its second stage runs inside the guest, from
# the initramfs, before systemd ever starts. The result is a compressed qcow2 image kept per
# machine outside the clone, keyed on what it is made of, and made again only when that changes.
#
#   appliance/base.sh KERNEL_DIR      prints the image's path (building it when missing)
set -euo pipefail
kernel_dir=$(cd "${1:?usage: base.sh KERNEL_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
missing() { echo "appliance: $*" >&2; exit 1; }

suite=bookworm
mirror=${ZRQ_APPLIANCE_MIRROR:-http://deb.debian.org/debian}
# systemd and udev; kmod for modules-load.d; busybox for the i2c applets (i2c-tools would pull
# in perl); what the packages need beyond minbase.
packages=systemd,systemd-sysv,udev,kmod,busybox,procps,libmicrohttpd12,libstdc++6,libgcc-s1
cache=${ZRQ_APPLIANCE_CACHE:-/var/cache/zrq4470-appliance}
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* 2>/dev/null | head -n 1 || true)
[ -n "$vmlinuz" ] || missing "no guest kernel under $kernel_dir (make deps-vm fetches it)"
key=$(printf '%s\n' "$suite" "$packages" "$(basename "$vmlinuz")" | sha256sum | cut -c1-16)
image=$cache/base-$key.qcow2
if [ -e "$image" ]; then
    echo "$image"
    exit 0
fi
for tool in debootstrap mke2fs qemu-img qemu-system-x86_64; do
    command -v $tool > /dev/null || missing "$tool is missing (make deps installs it)"
done
mkdir -p "$cache"
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

start=$(date +%s)
echo "appliance: base root (debootstrap --foreign, $suite i386: $packages)" >&2
debootstrap --arch=i386 --foreign --variant=minbase --include="$packages" \
    "$suite" "$work/root" "$mirror" > "$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; missing "debootstrap's first stage failed"; }
# Where the build machine looks like a container, debootstrap makes /proc a link.
if [ -L "$work/root/proc" ]; then rm "$work/root/proc" && mkdir "$work/root/proc"; fi
fetched=$(du -sm "$work/root/var/cache/apt/archives" | cut -f1)
debs=$(ls "$work/root/var/cache/apt/archives"/*.deb | wc -l)
downloaded=$(date +%s)
mke2fs -q -F -t ext4 -L zrqroot -d "$work/root" "$work/root.img" 2G
rm -rf "$work/root"
"$here/initramfs.sh" "$kernel_dir" "$work/initrd.gz"
# Two virtual CPUs under multi-threaded TCG; tsc=unstable, since the guest's clocksource
# watchdog otherwise may take the emulated TSC for broken in the middle of the work.
timeout 1800 qemu-system-x86_64 -accel kvm -accel tcg,thread=multi -smp 2 -m 1024 \
    -nographic -nic none -no-reboot -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=4 tsc=unstable zrq.mode=second-stage" \
    -drive file="$work/root.img",format=raw,if=virtio < /dev/null > "$work/console" 2>&1 || true
grep -q "zrq-init: base done" "$work/console" ||
    { tr -d '\r' < "$work/console" | tail -n 30 >&2; missing "the second stage did not finish"; }
qemu-img convert -c -O qcow2 "$work/root.img" "$work/base.qcow2"
mv "$work/base.qcow2" "$image"
# An image of another package list or kernel is not used again.
find "$cache" -maxdepth 1 -name 'base-*.qcow2' ! -name "base-$key.qcow2" -delete
end=$(date +%s)
printf 'appliance: base root made: %s packages, %s MB fetched in %s s; second stage and image %s s; image %s MB\n' \
    "$debs" "$fetched" $((downloaded - start)) $((end - downloaded)) \
    $(($(stat -c %s "$image") / 1048576)) >&2
echo "$image"
