#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build and prints one line per target.
#
#   tools/fuzz.sh BUILD_DIR smoke [RUNS]       each target over its seed corpus, then RUNS
#                                              inputs in all (2000), seed 1; nothing kept
#   tools/fuzz.sh BUILD_DIR campaign SECONDS [TARGET...]
#                                              each target (all six by default) for SECONDS,
#                                              its corpus kept in BUILD_DIR/corpus/
#
# Findings (crash-*, timeout-*, leak-*, oom-* inputs) land in BUILD_DIR/findings/TARGET/; a
# finding fixed goes into fuzz/corpus/TARGET/ as a regression case. Exits 1 on any finding.
set -uo pipefail
build=${1:?usage: fuzz.sh BUILD_DIR smoke [RUNS] | campaign SECONDS}
mode=${2:?usage: fuzz.sh BUILD_DIR smoke [RUNS] | campaign SECONDS}
top=$(cd "$(dirname "$0")/.." && pwd)
targets=(description state hwmon psuprobe zrqctl lcm zrqd_config zrqd_http)

case $mode in
smoke) limit=(-runs="${3:-2000}" -seed=1) ;;
campaign)
    limit=(-max_total_time="${3:?campaign needs SECONDS}")
    [ $# -gt 3 ] && targets=("${@:4}")
    ;;
*) echo "fuzz.sh: unknown mode $mode" >&2; exit 2 ;;
esac

printf '%-12s %8s %8s %7s %6s %10s\n' surface inputs crashes hangs leaks sanitizer
status=0
for t in "${targets[@]}"; do
    bin="$build/bin/fuzz_$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz.sh: $bin is missing (cmake --preset fuzz && cmake --build --preset fuzz)" >&2
        exit 1
    fi
    findings="$build/findings/$t"
    rm -rf "$findings" && mkdir -p "$findings"
    if [ "$mode" = smoke ]; then
        corpus=$(mktemp -d) # new inputs go here and are dropped: the seeds stay as they are
    else
        corpus="$build/corpus/$t" && mkdir -p "$corpus"
    fi
    log="$findings/log"
    # stdout closed (psuprobe and zrqctl print there); libFuzzer keeps its own stderr.
    "$bin" "${limit[@]}" -close_fd_mask=1 -timeout=25 -rss_limit_mb=2560 \
        -artifact_prefix="$findings/" "$corpus" "$top/fuzz/corpus/$t" > "$log" 2>&1
    rc=$?
    [ "$mode" = smoke ] && rm -rf "$corpus"
    inputs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
    crashes=$(find "$findings" -name 'crash-*' | wc -l)
    hangs=$(find "$findings" -name 'timeout-*' | wc -l)
    leaks=$(find "$findings" -name 'leak-*' | wc -l)
    reports=$(grep -c -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log")
    printf '%-12s %8s %8d %7d %6d %10d\n' "$t" "${inputs:-?}" "$crashes" "$hangs" "$leaks" "$reports"
    if [ $rc -ne 0 ] || [ -z "$inputs" ]; then
        status=1
        echo "fuzz.sh: fuzz_$t failed (exit $rc); its log: $log" >&2
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 5 >&2
    fi
done
exit $status
