#!/usr/bin/env bash
# Checks the deliverables.
#
#   check-release.sh RELEASE_DIR       the release folder: the plug-ins are 32-bit x86 shared
#                                      objects, psuprobe a 64-bit x86-64 program, the SDK
#                                      headers are there; and every plug-in meets the floor
#   check-release.sh --plugins SO...   the floor alone, for shared objects of either class
#   check-release.sh --debs DIR        the Debian packages in DIR: each one's architecture and
#                                      the classes of its ELF files, the plug-ins' floor, what
#                                      the 32-bit zrqd and zrqctl need (at most Debian 12 i386),
#                                      no RUNPATH, the board file where libpvqio looks for it
#
# The floor: a plug-in is loaded into a management host on whatever the appliance runs, so it
# may need nothing above glibc 2.17, libstdc++ of GCC 4.8 (GLIBCXX_3.4.19, CXXABI_1.3.7) and
# libgcc_s of GCC 4.8 (the manylinux2014 policy), and no library but the C and C++ runtimes
# and the platform's two. Prints one line per file checked and one per fault; exits 1 when
# any is found.
set -euo pipefail
usage() { echo "usage: check-release.sh RELEASE_DIR | --plugins SO... | --debs DIR" >&2; exit 2; }
[ $# -ge 1 ] || usage

faults=0
fault() { echo "check-release: $*" >&2; faults=$((faults + 1)); }

header() { readelf -h "$1" 2>/dev/null | sed -n "s/^ *$2: *//p"; }

expect_elf() { # file class machine
    if [ ! -f "$1" ]; then fault "$1 is missing"; return 1; fi
    local class machine
    class=$(header "$1" Class)
    machine=$(header "$1" Machine)
    [ "$class" = "$2" ] || { fault "$1 is $class, not $2"; return 1; }
    [ "$machine" = "$3" ] || { fault "$1 is for $machine, not $3"; return 1; }
}

allowed_libs='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|librt\.so\.1|libdl\.so\.2|libgcc_s\.so\.1|libstdc\+\+\.so\.6|libpvqsmb\.so|libpvqio\.so)$'
declare -A floor=([GLIBC]=2.17 [GLIBCXX]=3.4.19 [CXXABI]=1.3.7 [GCC]=4.8.0)

# "symbol version" for every versioned symbol the object needs from another one.
needed_versions() {
    objdump -T "$1" | awk '/\*UND\*/ && $(NF-1) ~ /^\(?[A-Z_]+_[0-9][0-9.]*\)?$/ {
        v = $(NF-1); gsub(/[()]/, "", v); print $NF, v }' | sort -u
}

# The newest version of each family the object needs, as "GLIBC_2.17 GLIBCXX_3.4.19".
newest_versions() {
    local newest
    newest=$(needed_versions "$1" | awk '{ print $2 }' | sort -u |
        awk -F_ '{ n = $NF; sub("_" n "$", ""); print $0, n }' | sort -k1,1 -k2,2V |
        awk '{ last[$1] = $2 } END { for (f in last) print f "_" last[f] }' | sort | paste -sd' ')
    echo "${newest:-no versioned symbol}"
}

check_floor() { # shared object
    local so=$1 before=$faults lib sym ver family num
    if [ "$(header "$so" Type | cut -d' ' -f1)" != DYN ]; then
        fault "$so is not a shared object"
        return
    fi
    for lib in $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [[ $lib =~ $allowed_libs ]] || fault "$so needs $lib, which is not among the allowed libraries"
    done
    while read -r sym ver; do
        family=${ver%_*}
        num=${ver##*_}
        if [ -z "${floor[$family]:-}" ]; then
            fault "$so needs $sym@$ver, a version outside the floor's families"
        elif [ "$(printf '%s\n%s\n' "$num" "${floor[$family]}" | sort -V | tail -n 1)" != "${floor[$family]}" ]; then
            fault "$so needs $sym@$ver, above the floor ${family}_${floor[$family]}"
        fi
    done < <(needed_versions "$so")
    [ $faults -eq $before ] && echo "ok  $so: needs $(newest_versions "$so")"
    return 0
}

# What Debian 12 provides: the newest version of each family its libraries define.
declare -A bookworm=([GLIBC]=2.36 [GLIBCXX]=3.4.30 [CXXABI]=1.3.13 [GCC]=12.0.0)

check_ceiling() { # ELF file: every symbol version it needs within Debian 12's
    local elf=$1 before=$faults sym ver family num
    while read -r sym ver; do
        family=${ver%_*}
        num=${ver##*_}
        if [ -n "${bookworm[$family]:-}" ] &&
            [ "$(printf '%s\n%s\n' "$num" "${bookworm[$family]}" | sort -V | tail -n 1)" != "${bookworm[$family]}" ]; then
            fault "$elf needs $sym@$ver, newer than Debian 12 has"
        fi
    done < <(needed_versions "$elf")
    [ $faults -eq $before ] && echo "ok  $elf: needs $(newest_versions "$elf"); $(readelf -d "$elf" |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ')"
    return 0
}

check_debs() { # folder
    local dir=$1 work deb name arch root elf runpath
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    for want in zrq4470-plugins:i386 zrq4470-platform:i386 zrq4470-platform:amd64 zrqd:i386 psuprobe:amd64; do
        name=${want%:*} arch=${want#*:}
        deb=$(ls "$dir/${name}_"*"_$arch.deb" 2>/dev/null | head -n 1)
        if [ -z "$deb" ]; then fault "no $name package for $arch in $dir"; continue; fi
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fault "$deb: Architecture is not $arch"
        if [ "$name" = zrq4470-platform ] && [ "$(dpkg-deb -f "$deb" Multi-Arch)" != same ]; then
            fault "$deb: not Multi-Arch: same"
        fi
        root=$work/${name}_$arch
        dpkg-deb -x "$deb" "$root"
        while read -r elf; do
            runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
            [ -z "$runpath" ] || fault "${elf#"$root"} in $deb carries a RUNPATH: $runpath"
            if [ "$arch" = i386 ]; then
                [ "$(header "$elf" Class)" = ELF32 ] || fault "${elf#"$root"} in $deb is not 32-bit"
            else
                [ "$(header "$elf" Class)" = ELF64 ] || fault "${elf#"$root"} in $deb is not 64-bit"
            fi
        done < <(find "$root" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
        echo "ok  $deb: $arch, $(find "$root" -type f | wc -l) files"
    done
    local plugins=$work/zrq4470-plugins_i386/usr/lib/zrq4470
    for p in lbp lcm psu hwm; do
        expect_elf "$plugins/zrq4470$p.so" ELF32 "Intel 80386" && check_floor "$plugins/zrq4470$p.so"
    done
    local service=$work/zrqd_i386
    for elf in "$service/usr/sbin/zrqd" "$service/usr/bin/zrqctl"; do
        expect_elf "$elf" ELF32 "Intel 80386" && check_ceiling "$elf"
    done
    # libpvqio's default board file, and the plug-in folder of zrqd's configuration.
    local board
    board=$(strings "$work/zrq4470-platform_i386/usr/lib/i386-linux-gnu/libpvqio.so" |
        grep -m1 '^/.*\.json$' || true)
    if [ -n "$board" ] && [ -f "$service$board" ]; then
        echo "ok  libpvqio reads the board file $board, which zrqd's package installs"
    else
        fault "libpvqio reads the board file '${board}', which no package installs"
    fi
    grep -q '"plugins": "/usr/lib/zrq4470"' "$service/etc/zrqd.json" ||
        fault "/etc/zrqd.json does not name the plug-ins' folder /usr/lib/zrq4470"
}

if [ "$1" = --debs ]; then
    [ $# -eq 2 ] || usage
    check_debs "$2"
elif [ "$1" = --plugins ]; then
    shift
    [ $# -ge 1 ] || usage
    for so in "$@"; do
        if [ -f "$so" ]; then check_floor "$so"; else fault "$so is missing"; fi
    done
else
    dir=$1
    for p in lbp lcm psu hwm; do
        so="$dir/lib/zrq4470$p.so"
        expect_elf "$so" ELF32 "Intel 80386" && check_floor "$so"
    done
    # psuprobe is a program: its start-up code binds it to the build machine's glibc.
    expect_elf "$dir/bin/psuprobe" ELF64 "Advanced Micro Devices X86-64" &&
        echo "ok  $dir/bin/psuprobe: ELF64, x86-64, needs $(newest_versions "$dir/bin/psuprobe")"
    for h in pvqinc.h iolib.h; do
        if [ -f "$dir/include/$h" ]; then echo "ok  $dir/include/$h"; else fault "$dir/include/$h is missing"; fi
    done
fi
[ $faults -eq 0 ] || { echo "check-release: $faults fault(s)" >&2; exit 1; }
