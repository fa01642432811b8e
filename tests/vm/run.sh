#!/usr/bin/env bash
# Boots a Debian kernel under QEMU (TCG: no KVM needed; 1 vCPU, 512 MiB) with an initramfs made
# here: static busybox, the kernel's i2c-stub, i2c-dev and pmbus modules, and the 32-bit tree's
# libpvqsmb, plug-ins, psuprobe and zrqctl, which run natively in the guest. The guest
# (tests/vm/guest.sh) prints a result line on the console; QEMU's own exit status says nothing
# of it.
#
#   tests/vm/run.sh I386_BUILD_DIR KERNEL_DIR
set -euo pipefail
build=$(cd "${1:?usage: run.sh I386_BUILD_DIR KERNEL_DIR}" && pwd)
kernel_dir=${2:?usage: run.sh I386_BUILD_DIR KERNEL_DIR}
here=$(cd "$(dirname "$0")" && pwd)
missing() { echo "vm: $*" >&2; exit 1; }

vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* 2>/dev/null | head -n 1 || true)
[ -n "$vmlinuz" ] || missing "no guest kernel under $kernel_dir: make deps fetches" \
    "linux-image-6.12-amd64 with apt-get download and unpacks it there"
modules=$(ls -d "$kernel_dir"/lib/modules/* | head -n 1)
command -v qemu-system-x86_64 > /dev/null ||
    missing "qemu-system-x86_64 is missing: apt-get install qemu-system-x86 (make deps does it)"
[ -x /bin/busybox ] && ! readelf -d /bin/busybox 2>/dev/null | grep -q NEEDED ||
    missing "a static /bin/busybox is missing: apt-get install busybox-static (make deps does it)"
command -v cpio > /dev/null || missing "cpio is missing: apt-get install cpio (make deps does it)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,lib,lib32,zrq/bin,zrq/lib}
mknod -m 600 "$root/dev/console" c 5 1 # the kernel opens it for /init before /dev is mounted
cp /bin/busybox "$root/bin/"
for applet in $(/bin/busybox --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
done
for m in i2c/i2c-dev i2c/i2c-stub hwmon/pmbus/pmbus_core hwmon/pmbus/pmbus misc/eeprom/ee1004; do
    src=$(ls "$modules/kernel/drivers/$m.ko"* 2>/dev/null | head -n 1)
    [ -n "$src" ] || missing "$modules has no $m module"
    case $src in
    *.xz) xz -dc "$src" > "$root/modules/$(basename "$m").ko" ;;
    *) cp "$src" "$root/modules/" ;;
    esac
done

for p in psuprobe zrqctl smbcall; do cp "$build/bin/$p" "$root/zrq/bin/"; done
for l in "$build"/lib/*.so; do cp -L "$l" "$root/zrq/lib/"; done
# The 32-bit runtime the programs need, found the way the host's 32-bit loader would.
find_lib() {
    for d in /lib32 /usr/lib32 /lib/i386-linux-gnu /usr/lib/i386-linux-gnu; do
        [ -e "$d/$1" ] && { echo "$d/$1"; return; }
    done
}
queue=("$root"/zrq/bin/* "$root"/zrq/lib/*)
while [ ${#queue[@]} -gt 0 ]; do
    f=${queue[0]}
    queue=("${queue[@]:1}")
    for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$root/zrq/lib/$lib" ] || [ -e "$root/lib32/$lib" ] && continue
        src=$(find_lib "$lib")
        [ -n "$src" ] || missing "no 32-bit $lib on this machine (g++-multilib installs it)"
        cp -L "$src" "$root/lib32/"
        queue+=("$root/lib32/$lib")
    done
done
cp -L /lib/ld-linux.so.2 "$root/lib/" || missing "no 32-bit loader /lib/ld-linux.so.2"
install -m 755 "$here/guest.sh" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

# The guest powers itself off; the time-out only bounds a guest that hangs.
timeout 600 qemu-system-x86_64 -accel kvm -accel tcg -m 512 -smp 1 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" < /dev/null > "$work/console" 2>&1 || true
tr -d '\r' < "$work/console" | grep -E '^vm-' || true
result=$(tr -d '\r' < "$work/console" | sed -n 's/^vm-result: //p')
[ -n "$result" ] || { tail -n 40 "$work/console"; missing "the guest printed no result"; }
[[ $result == *" fail=0" ]]
