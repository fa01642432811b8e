#!/usr/bin/env bash
# Checks a release folder: the plug-ins are 32-bit x86 shared objects that need only the
# platform libraries and the runtimes, psuprobe is a 64-bit x86-64 program, the SDK headers
# are there. Prints one line per file; exits 1 on the first mismatch.
set -euo pipefail
dir=${1:?usage: check-release.sh RELEASE_DIR}
fail() { echo "check-release: $*" >&2; exit 1; }

header() { readelf -h "$1" 2>/dev/null | sed -n "s/^ *$2: *//p"; }

expect_elf() { # file class machine
    [ -f "$1" ] || fail "$1 is missing"
    local class machine
    class=$(header "$1" Class)
    machine=$(header "$1" Machine)
    [ "$class" = "$2" ] || fail "$1 is $class, not $2"
    [ "$machine" = "$3" ] || fail "$1 is for $machine, not $3"
    echo "ok  $1: $class, $machine"
}

allowed='^(libpvqsmb\.so|libpvqio\.so|libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6)$'
for p in lbp lcm psu hwm; do
    so="$dir/lib/zrq4470$p.so"
    expect_elf "$so" ELF32 "Intel 80386"
    [ "$(header "$so" Type | cut -d' ' -f1)" = DYN ] || fail "$so is not a shared object"
    for lib in $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [[ $lib =~ $allowed ]] || fail "$so needs $lib"
    done
done
expect_elf "$dir/bin/psuprobe" ELF64 "Advanced Micro Devices X86-64"
for h in pvqinc.h iolib.h; do
    [ -f "$dir/include/$h" ] || fail "$dir/include/$h is missing"
    echo "ok  $dir/include/$h"
done
