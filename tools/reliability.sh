#!/usr/bin/env bash
# The reliability report: every input surface's fuzz run and the state file under killed
# writers, in one table.
#
#   tools/reliability.sh FUZZ_BUILD DEV_BUILD [SECONDS]   (no SECONDS: the smoke runs)
set -uo pipefail
fuzz=${1:?usage: reliability.sh FUZZ_BUILD DEV_BUILD [SECONDS]}
dev=${2:?usage: reliability.sh FUZZ_BUILD DEV_BUILD [SECONDS]}
seconds=${3:-}
top=$(cd "$(dirname "$0")/.." && pwd)
status=0

if [ -n "$seconds" ]; then
    rows=$("$top/tools/fuzz.sh" "$fuzz" campaign "$seconds") || status=1
else
    rows=$("$top/tools/fuzz.sh" "$fuzz" smoke) || status=1
fi
kill_log=$(mktemp)
"$dev/bin/test_state_kill" > "$kill_log" 2>&1 || status=1
checks=$(sed -n 's/^state checks: \([0-9]*\) after \([0-9]*\) kills.*/\1/p' "$kill_log")
kills=$(sed -n 's/^state checks: \([0-9]*\) after \([0-9]*\) kills.*/\2/p' "$kill_log")
lost=$(sed -n 's/^lost updates: \(.*\)/\1/p' "$kill_log")
writes=$(sed -n 's/^state checks: .* of \([0-9]*\) writers, \([0-9]*\) rounds each/\1 \2/p' "$kill_log" |
    awk '{ print $1 * $2 }')
failed=$(grep -c '^\[  FAILED  \]' "$kill_log")
sanitized=$(grep -c -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$kill_log")

printf '%-22s %8s %8s %6s %10s %13s %13s\n' surface inputs crashes hangs sanitizer \
    "state checks" "lost updates"
echo "$rows" | tail -n +2 | while read -r t inputs crashes hangs leaks reports; do
    printf '%-22s %8s %8s %6s %10s %13s %13s\n' "$t" "$inputs" "$crashes" "$hangs" \
        "$((leaks + reports))" - -
done
printf '%-22s %8s %8s %6s %10s %13s %13s\n' "state, killed writers" "${writes:-?}" "$failed" 0 \
    "$sanitized" "${checks:-?}" -
printf '%-22s %8s %8s %6s %10s %13s %13s\n' "state, one register" 240 0 0 0 - "${lost:-?}"
echo "(killed writers: ${kills:-?} SIGKILLs, each followed by a check of the state)"
[ $status -eq 0 ] || { echo "reliability: a run failed; the kill test's log: $kill_log" >&2; exit 1; }
rm -f "$kill_log"
