#!/usr/bin/env bash
# The virtual appliance's initramfs: static busybox, the kernel modules the guest needs (with
# what they depend on, uncompressed, and their modules.dep), appliance/init as /init, and
# whatever further files are named as SOURCE=PATH pairs.
#
#   appliance/initramfs.sh KERNEL_DIR OUT.cpio.gz [SOURCE=PATH_IN_IMAGE ...]
set -euo pipefail
kernel_dir=$1 out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
missing() { echo "appliance: $*" >&2; exit 1; }

moddir=$(ls -d "$kernel_dir"/lib/modules/* 2>/dev/null | head -n 1)
[ -n "$moddir" ] || missing "no guest kernel modules under $kernel_dir (make deps-vm fetches them)"
ver=$(basename "$moddir")
[ -e "$moddir/modules.dep" ] || depmod -b "$kernel_dir" "$ver"
[ -x /bin/busybox ] || missing "a static /bin/busybox is missing: apt-get install busybox-static"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,newroot,zrq} "$root/lib/modules/$ver"
mknod -m 600 "$root/dev/console" c 5 1
cp /bin/busybox "$root/bin/"
for applet in $(/bin/busybox --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
done

# The root disk and its file system; the appliance's network, SMBus and sensors.
wanted=(virtio_blk crc32c_generic ext4 e1000 i2c-dev i2c-stub lm75)
declare -A seen=()
add_module() { # relative path in modules.dep
    local rel=$1 dep
    [ -n "${seen[$rel]:-}" ] && return
    seen[$rel]=1
    mkdir -p "$root/lib/modules/$ver/$(dirname "$rel")"
    case $rel in
    *.xz) xz -dc "$moddir/$rel" > "$root/lib/modules/$ver/${rel%.xz}" ;;
    *.zst) zstd -qdc "$moddir/$rel" > "$root/lib/modules/$ver/${rel%.zst}" ;;
    *) cp "$moddir/$rel" "$root/lib/modules/$ver/$rel" ;;
    esac
    for dep in $(sed -n "s|^$rel: *||p" "$moddir/modules.dep"); do add_module "$dep"; done
}
for m in "${wanted[@]}"; do
    rel=$(grep -E "/${m//-/[-_]}\.ko(\.xz|\.zst)?:" "$moddir/modules.dep" | head -n 1 | cut -d: -f1)
    [ -n "$rel" ] || missing "the guest kernel has no module $m"
    add_module "$rel"
done
cp "$moddir"/modules.builtin "$moddir"/modules.builtin.modinfo "$moddir"/modules.order "$root/lib/modules/$ver/"
depmod -b "$root" "$ver"
install -m 755 "$here/init" "$root/init"
for pair in "$@"; do
    src=${pair%%=*} dst=$root/${pair#*=}
    mkdir -p "$(dirname "$dst")"
    cp -a "$src" "$dst"
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
