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
emu_pid= zrqd_pid= panel_pid=
cleanup() {
    for pid in $zrqd_pid $panel_pid $emu_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
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

# zrqd, the service: the front panel on a second emulated module, and the metrics endpoint.
[ -x "$build/bin/zrqd" ] || exit 0
echo; echo "== zrqd, the front-panel and metrics service"
"${run[@]}" "$build/bin/lcmemu" --screen "$work/panel" --keys "$work/keys" > "$work/panel-pty" &
panel_pid=$!
wait_for test -s "$work/panel-pty"
wait_for test -p "$work/keys"
cat > "$work/zrqd.json" <<JSON
{
  "name": "zrq4470 demo",
  "listen": "127.0.0.1:0",
  "poll_interval_ms": 500,
  "sole_host": true,
  "panel": {"port": "$(head -n 1 "$work/panel-pty")", "key_pause_ms": 50,
            "rotate_after_s": 2, "dim_after_s": 0}
}
JSON
printf '%s$ %s%s\n' "$bold" "$(printf '%q ' "${run[@]}" "$build/bin/zrqd" --config "$work/zrqd.json" | sed 's/ $//')" "$plain"
"${run[@]}" "$build/bin/zrqd" --config "$work/zrqd.json" 2> "$work/zrqd.log" &
zrqd_pid=$!
wait_for grep -q "metrics on" "$work/zrqd.log"
cat "$work/zrqd.log"
port=$(sed -n 's|.*metrics on http://127.0.0.1:\([0-9]*\)/metrics.*|\1|p' "$work/zrqd.log")
# The panel as it changes: first the alert (the platform's case is open), which a key
# acknowledges; then the pages, which turn every 2 s while nobody touches the keys.
shown=
watch_panel() { # SECONDS
    local end=$((SECONDS + $1))
    while [ $SECONDS -lt $end ]; do
        if [ -s "$work/panel" ] && [ "$(cat "$work/panel")" != "$shown" ]; then
            shown=$(cat "$work/panel")
            echo "$shown"
        fi
        sleep 0.1
    done
}
wait_for grep -q "Case opened" "$work/panel"
watch_panel 1
echo "(key A pressed on the module: the alert is acknowledged)"
printf A > "$work/keys"
watch_panel 7
echo "(key B pressed: the next page)"
printf B > "$work/keys"
watch_panel 1
echo
echo "A few lines of http://127.0.0.1:$port/metrics:"
python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1]).read().decode(), end="")' \
    "http://127.0.0.1:$port/metrics" | grep -E '^zrq_(psu_input_watts|psu_output_unread_info|hwm_temperature_celsius\{item="[01]"|lbp_pair_bypass\{slot="0",pair="2",phase="runtime"|poll_duration)'
kill -TERM "$zrqd_pid"
wait "$zrqd_pid" || true
zrqd_pid=
tail -n 2 "$work/zrqd.log"
sleep 0.3
echo "The module's screen after zrqd stopped:"
cat "$work/panel"
