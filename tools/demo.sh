#!/usr/bin/env bash
# The zrq4470 board-support package on a virtual platform: zrqctl, the reference management
# host, drives the four plug-ins against simulated bypass modules, power supplies, hardware
# monitor and an emulated LCD module.
#
#   tools/demo.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
# A fresh copy of the shipped platform in the build tree, so that every run starts from the
# same state and the commands it prints can be typed again afterwards.
work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
emu_pid=
cleanup() {
    if [ -n "$emu_pid" ]; then kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null; fi
    return 0
}
trap cleanup EXIT

cp "$top/sim/platforms/zrq4470.json" "$work/platform.json"
export PVQSMB_PLATFORM="$work/platform.json"
# A 32-bit tree on a kernel that runs no 32-bit programs: its programs run under the emulator
# the build chose.
run=()
[ -n "${ZRQ_EMULATOR:-}" ] && run=("$ZRQ_EMULATOR")
zrqctl() { "${run[@]}" "$build/bin/zrqctl" "$@"; }
# Bold commands on a terminal only; a file or a pipe gets plain text.
bold= plain=
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
# Each command as it can be typed again, its arguments quoted where the shell needs it.
step() {
    printf '\n%s$ %s%s\n' "$bold" "$(printf '%q ' "${run[@]}" "$build/bin/zrqctl" "$@" | sed 's/ $//')" "$plain"
    zrqctl "$@"
}

echo "The commands below run against a copy of the shipped platform; to type them again:"
printf '$ export PVQSMB_PLATFORM=%q\n' "$work/platform.json"

echo "== LAN bypass modules"
step lbp list
step lbp info 0
step lbp info 1
step lbp status 0
step lbp bypass 0 2 on
step lbp status 0
step lbp timer config 0 1 30 bypass 0x03
step lbp timer start 0 1
step lbp timer status 0 1

echo; echo "== Power supplies"
step psu list
for n in 1 2; do
    step psu info $n
    step psu status $n
    step psu watts $n in
done
step psu watts 1 out

echo; echo "== Hardware monitor"
step hwm table

echo; echo "== LCD module"
"${run[@]}" "$build/bin/lcmemu" --screen "$work/screen" > "$work/pty" &
emu_pid=$!
# Waits (30 s at most) until a command succeeds: the emulator works at its own pace.
wait_for() {
    for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
    echo "demo: gave up waiting for: $*" >&2
    return 1
}
wait_for test -s "$work/pty"
pty=$(head -n 1 "$work/pty")
step lcm --port "$pty" info
step lcm --port "$pty" write "zrq4470 ready" "Hello from the BSP"
# The frames are on the line when zrqctl returns; the emulator shows them a moment later.
wait_for grep -q "Hello from the BSP" "$work/screen"
echo "The module's screen:"
cat "$work/screen"
echo
echo "(the lcm commands need an emulator running: $(printf '%q' "$build/bin/lcmemu") prints its port)"
