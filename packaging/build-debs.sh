#!/usr/bin/env bash
# Builds the zrq4470 BSP's Debian packages from the two packaged build trees:
#   zrq4470-plugins    i386        the four plug-ins and the SDK headers
#   zrq4470-platform   i386 amd64  the platform stand-ins libpvqsmb, libpvqio (real backends)
#   zrqd               i386        zrqd, zrqctl, the board description, units, boot-time setup
#   psuprobe           amd64       the bench program for the power supplies
# Usage: packaging/build-debs.sh BUILD_I386 BUILD_AMD64 OUT_DIR VERSION
set -euo pipefail

i386=$(realpath "$1") amd64=$(realpath "$2") out=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
mkdir -p "$out"
out=$(realpath "$out")
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage"
# Reproducible: every file's time is the last commit's (or the epoch outside git).
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 0)}
export SOURCE_DATE_EPOCH

triplet() { case $1 in i386) echo i386-linux-gnu ;; amd64) echo x86_64-linux-gnu ;; esac; }

# A package's folder with its documentation: the copyright and the changelog.
begin() { # name arch
    local root=$stage/$1_$2
    mkdir -p "$root/DEBIAN" "$root/usr/share/doc/$1"
    install -m 644 "$here/copyright" "$root/usr/share/doc/$1/copyright"
    sed "s/@VERSION@/$version/" "$here/changelog" | gzip -9n >"$root/usr/share/doc/$1/changelog.gz"
    chmod 644 "$root/usr/share/doc/$1/changelog.gz"
    echo "$root"
}

# Programs and libraries stripped as dh_strip does.
put() { # mode source destination
    install -D -m "$1" "$2" "$3"
    case $(file -b "$3") in
    ELF*) strip --strip-unneeded --remove-section=.comment --remove-section=.note "$3" ;;
    esac
}

# The Depends that dpkg-shlibdeps finds for the ELF files in a package's folder, against the
# libraries of the package's architecture (the :i386 ones for the i386 packages) and those of
# the platform package staged beside it.
shlibdeps() { # root arch files...
    local root=$1 arch=$2
    shift 2
    local work
    work=$(mktemp -d)
    mkdir -p "$work/debian"
    printf 'Source: zrq4470-bsp\n\nPackage: x\nArchitecture: any\n' >"$work/debian/control"
    # The platform libraries' unversioned sonames (libpvqsmb.so) have no shlibs form: the
    # packages that need them name zrq4470-platform by hand, and dpkg-shlibdeps skips them.
    (cd "$work" && DEB_HOST_ARCH=$arch DEB_HOST_MULTIARCH=$(triplet "$arch") \
        dpkg-shlibdeps -O -l"$stage/zrq4470-platform_$arch/usr/lib/$(triplet "$arch")" "$@" 2> \
        >(grep -v "can't extract name and version from library name 'libpvq" >&2) |
        sed -n 's/^shlibs:Depends=//p')
    rm -rf "$work"
}

# control file with the fields every package shares.
control() { # root name arch depends extra-fields description
    local root=$1 size
    size=$(du -k -s --exclude=DEBIAN "$root" | cut -f1)
    {
        printf 'Package: %s\nVersion: %s\nArchitecture: %s\n' "$2" "$version" "$3"
        printf 'Maintainer: zrq4470 BSP developers <bsp@zrq4470.invalid>\n'
        printf 'Installed-Size: %s\nSection: admin\nPriority: optional\n' "$size"
        [ -z "$4" ] || printf 'Depends: %s\n' "$4"
        [ -z "$5" ] || printf '%s\n' "$5"
        printf 'Description: %s\n' "$6"
    } >"$root/DEBIAN/control"
}

finish() { # root
    local root=$1
    (cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z |
        xargs -0 md5sum >DEBIAN/md5sums)
    chmod 644 "$root/DEBIAN/md5sums" "$root/DEBIAN/control"
    find "$root" -type d -exec chmod 755 {} +
    find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
}

overrides() { # root name
    if [ -f "$here/$2.lintian-overrides" ]; then
        install -D -m 644 "$here/$2.lintian-overrides" "$1/usr/share/lintian/overrides/$2"
    fi
}

# ---- zrq4470-platform, for both architectures ------------------------------------------------
for arch in i386 amd64; do
    tree=$i386
    [ "$arch" = amd64 ] && tree=$amd64
    root=$(begin zrq4470-platform "$arch")
    lib=$root/usr/lib/$(triplet "$arch")
    put 644 "$tree/lib/libpvqsmb.so" "$lib/libpvqsmb.so"
    put 644 "$tree/lib/libpvqio.so" "$lib/libpvqio.so"
    printf 'activate-noawait ldconfig\n' >"$root/DEBIAN/triggers"
    chmod 644 "$root/DEBIAN/triggers"
    overrides "$root" zrq4470-platform
    deps=$(shlibdeps "$root" "$arch" "$lib"/*.so)
    control "$root" zrq4470-platform "$arch" "$deps" "Multi-Arch: same" \
        "zrq4470 platform libraries (stand-ins: i2c-dev and hwmon)
 libpvqsmb.so (SMBus access over Linux i2c-dev) and libpvqio.so (sensor I/O over
 Linux hwmon, mapped by the board description) as the zrq4470 plug-ins and
 psuprobe call them. An appliance that carries the platform vendor's own
 libraries does not need this package."
done

# ---- zrq4470-plugins, i386 -------------------------------------------------------------------
root=$(begin zrq4470-plugins i386)
for p in lbp lcm psu hwm; do
    put 644 "$i386/lib/zrq4470$p.so" "$root/usr/lib/zrq4470/zrq4470$p.so"
    # Hosts differ in how they name a plug-in: the lib-prefixed name is the same file.
    ln -s "zrq4470$p.so" "$root/usr/lib/zrq4470/libzrq4470$p.so"
done
install -D -m 644 "$src/release/sdk/include/pvqinc.h" "$root/usr/include/zrq4470/pvqinc.h"
install -D -m 644 "$src/iodrv/include/iolib.h" "$root/usr/include/zrq4470/iolib.h"
overrides "$root" zrq4470-plugins
# Written by hand: the plug-ins load on glibc 2.17 and libstdc++ of GCC 4.8 and later, and
# they need libpvqsmb.so and libpvqio.so, which ours or the vendor's provide.
control "$root" zrq4470-plugins i386 \
    "libc6 (>= 2.17), libgcc-s1 | libgcc1, libstdc++6 (>= 4.8)" \
    "Recommends: zrq4470-platform" \
    "zrq4470 board-support plug-ins and SDK headers
 The plug-ins a management host loads to reach the zrq4470's hardware: LAN
 bypass modules (zrq4470lbp.so), the front-panel LCD module and keypad
 (zrq4470lcm.so), the PMBus power supplies (zrq4470psu.so) and the hardware
 monitor (zrq4470hwm.so), in /usr/lib/zrq4470, with the SDK headers pvqinc.h
 and iolib.h. They call the platform libraries libpvqsmb.so and libpvqio.so."

# ---- zrqd, i386 ------------------------------------------------------------------------------
root=$(begin zrqd i386)
dist=$src/zrqd/dist
put 755 "$i386/bin/zrqd" "$root/usr/sbin/zrqd"
put 755 "$i386/bin/zrqctl" "$root/usr/bin/zrqctl"
install -D -m 644 "$src/platform/boards/zrq4470.json" "$root/usr/share/zrq4470/zrq4470.json"
install -D -m 644 "$dist/zrqd.json" "$root/etc/zrqd.json"
install -D -m 644 "$dist/zrqd.service" "$root/lib/systemd/system/zrqd.service"
install -D -m 644 "$dist/zrq4470-setup.service" "$root/lib/systemd/system/zrq4470-setup.service"
install -D -m 644 "$dist/zrq4470.rules" "$root/lib/udev/rules.d/60-zrq4470.rules"
install -D -m 644 "$dist/zrq4470-modules.conf" "$root/usr/lib/modules-load.d/zrq4470.conf"
install -D -m 644 "$dist/zrq4470-modprobe.conf" "$root/lib/modprobe.d/zrq4470.conf"
install -D -m 644 "$dist/zrqd.sysusers" "$root/usr/lib/sysusers.d/zrqd.conf"
install -D -m 644 "$dist/zrq4470-alerts.yml" "$root/usr/share/zrq4470/prometheus/zrq4470-alerts.yml"
install -D -m 644 "$src/README.md" "$root/usr/share/doc/zrqd/README.md"
echo /etc/zrqd.json >"$root/DEBIAN/conffiles"
chmod 644 "$root/DEBIAN/conffiles"
for s in postinst prerm postrm; do install -m 755 "$here/zrqd.$s" "$root/DEBIAN/$s"; done
overrides "$root" zrqd
deps=$(shlibdeps "$root" i386 "$root/usr/sbin/zrqd" "$root/usr/bin/zrqctl")
# procps for /bin/kill, which the unit's reload runs (a minimal Debian has none).
control "$root" zrqd i386 "$deps, zrq4470-plugins (= $version), systemd, init-system-helpers (>= 1.54~), procps" "" \
    "zrq4470 front panel and metrics service, and zrqctl
 zrqd shows the appliance's state on the front-panel LCD module, takes its
 keys, and serves Prometheus metrics of the supplies, sensors and bypass
 modules. zrqctl calls every plug-in export from the command line. With the
 board description, the boot-time setup of the zrq4470's SMBus chips, the
 systemd units and the udev rules that give the service its devices."

# ---- psuprobe, amd64 -------------------------------------------------------------------------
root=$(begin psuprobe amd64)
put 755 "$amd64/bin/psuprobe" "$root/usr/bin/psuprobe"
overrides "$root" psuprobe
deps=$(shlibdeps "$root" amd64 "$root/usr/bin/psuprobe")
control "$root" psuprobe amd64 "$deps, zrq4470-platform (>= $version)" "" \
    "bench test of the zrq4470's PMBus power supplies
 psuprobe reads a supply's identity, status and readings over the SMBus with
 its own PMBus decoders, for the bench machine."

for root in "$stage"/*; do finish "$root"; done
ls "$out"/*.deb
