#!/usr/bin/env bash
# The release check against shared objects built here to need what an old glibc lacks, and
# the same code built to the floor. Each case: name, bits, extra compiler flags, source,
# expected exit status of `check-release.sh --plugins`, a text its report must contain.
set -uo pipefail
root=${1:?usage: check_release_test.sh SOURCE_DIR}
check="$root/tools/check-release.sh"
floor="$root/cmake/glibc_floor.h"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

threads='#include <pthread.h>
#include <time.h>
static void *run(void *arg) { return arg; }
int go(void) {
    pthread_t t;
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    if (pthread_create(&t, 0, run, 0) != 0) return -1;
    return pthread_join(t, 0);
}'
power='#include <math.h>
double power(double x, double y) { return pow(x, y); }'
clockwait='#include <pthread.h>
#include <time.h>
int wait_on(pthread_cond_t *c, pthread_mutex_t *m, const struct timespec *t) {
    return pthread_cond_clockwait(c, m, CLOCK_MONOTONIC, t);
}'
divide='long long quotient(long long a, long long b, long long *r) { *r = a % b; return a / b; }'
string='#include <string>
extern "C" unsigned long length(const char *s) { return std::string(s).size(); }'
extra='int extra(void);
int call(void) { return extra(); }'

for bits in 32 64; do
    mkdir -p "$work/lib$bits"
    cc -m$bits -shared -fPIC -o "$work/lib$bits/libextra.so" -x c - <<<'int extra(void) { return 1; }' ||
        exit 1
done

fails=0
run_case() { # name bits flags source expected_status expected_text
    local name=$1 bits=$2 flags=$3 src=$4 want=$5 text=$6 so="$work/$1-$2.so" lang=c compiler=cc
    [[ $src == *'#include <string>'* ]] && { lang=c++; compiler=c++; }
    # shellcheck disable=SC2086
    if ! $compiler -m"$bits" -shared -fPIC -O2 -Wl,-z,defs -o "$so" -x $lang - $flags \
            <<<"$src" 2>"$work/cc.err"; then
        echo "FAIL $name ($bits-bit): does not build: $(head -n 3 "$work/cc.err")"
        fails=$((fails + 1))
        return
    fi
    local out status
    out=$("$check" --plugins "$so" 2>&1)
    status=$?
    if [ "$status" != "$want" ] || [[ $out != *"$text"* ]]; then
        echo "FAIL $name ($bits-bit): exit $status (want $want), report lacks \"$text\":"
        echo "$out" | sed 's/^/    /'
        fails=$((fails + 1))
    else
        echo "ok   $name ($bits-bit): $(echo "$out" | head -n 1)"
    fi
}

pthread_floor="-include $floor -Wl,--no-as-needed -l:libpthread.so.0 -Wl,--as-needed"
for bits in 32 64; do
    case $bits in 32) old_create=2.1 ;; 64) old_create=2.2.5 ;; esac
    run_case threads-current $bits ""                         "$threads"   1 "pthread_create@GLIBC_2.34, above the floor GLIBC_2.17"
    run_case threads-floor   $bits "$pthread_floor"           "$threads"   0 "needs GLIBC_"
    run_case pow-current     $bits "-lm"                      "$power"     1 "pow@GLIBC_2.29"
    run_case pow-floor       $bits "-include $floor -lm"      "$power"     0 "ok"
    run_case clockwait       $bits "-include $floor"          "$clockwait" 1 "pthread_cond_clockwait@GLIBC_2.34"
    run_case other-library   $bits "-L$work/lib$bits -lextra" "$extra"     1 "needs libextra.so, which is not among the allowed libraries"
    run_case cxx11-string    $bits ""                         "$string"    1 "@GLIBCXX_3.4.21, above the floor GLIBCXX_3.4.19"
    [ "$bits" = 32 ] &&
        run_case libgcc-division 32 "-shared-libgcc -lgcc_s" "$divide"    1 "__divmoddi4@GCC_7.0.0, above the floor GCC_4.8.0"
    # What the floor header binds is the symbol's old version, found in the right library.
    if [ -f "$work/threads-floor-$bits.so" ]; then
        objdump -T "$work/threads-floor-$bits.so" | grep -q "(GLIBC_$old_create) *pthread_create$" &&
            readelf -d "$work/threads-floor-$bits.so" | grep -q 'NEEDED.*\[libpthread\.so\.0\]' ||
            { echo "FAIL threads-floor ($bits-bit): not pthread_create@GLIBC_$old_create with libpthread.so.0"; fails=$((fails + 1)); }
    fi
done
# A release folder with nothing in it names every missing file.
out=$("$check" "$work/empty" 2>&1) && { echo "FAIL empty release folder passed"; fails=$((fails + 1)); }
[[ $out == *"zrq4470lcm.so is missing"* && $out == *"psuprobe is missing"* ]] ||
    { echo "FAIL empty release folder: $out"; fails=$((fails + 1)); }

[ $fails -eq 0 ] && echo "all cases passed" || { echo "$fails case(s) failed"; exit 1; }
