#!/usr/bin/env bash
# Configuration Write of a new Encoder IP where another device already
# answers, under a real X server with real X input: the window refuses it in
# its error box, as `pnv3400ctl write` refuses it, and sends nothing. The
# other device is a second simulator at 172.16.40.5, an address that exists
# only inside the sealed network namespace (fleet-addresses.sh refuses to run
# anywhere else, and the test then fails rather than reach the real network).
# Usage: address_in_use.sh BIN_DIR    (exit 77: skipped, and why)
set -euo pipefail
bin=${1:?usage: address_in_use.sh BIN_DIR}

source "$(dirname "$0")/../support/shell-test.sh"
require Xvfb xdotool
in_sealed_network || { echo "SKIP: outside the sealed network namespace (scripts/sealed-net.sh)"; exit 77; }
start_xvfb

mkdir -p "$work/a" "$work/b"
sim_start "$work/b" "$bin/pnv3400-sim" --fleet 1 --listen 172.16.40.5 --state-dir "$work/b/states" \
  || fail "the simulator at 172.16.40.5 did not start"
pids+=("$sim_pid")
other=$sim_pid
sim_start "$work/a" "$bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$work/a/encoder.state" \
  || fail "the simulator did not start"
pids+=("$sim_pid")
port=$sim_port

QT_QPA_PLATFORM=xcb QT_LOGGING_RULES="pnv3400.statusline.info=true" "$bin/pnv3400-setup" >"$work/app.log" 2>&1 &
pids+=($!)
window=$(find_window) || { cat "$work/app.log" >&2; fail "the window did not come up"; }
xdotool windowfocus --sync "$window"

keys() { xdotool key --delay 15 "$@"; }
click() { xdotool mousemove --sync --window "$window" "$1" "$2" click 1; }
status_set() { grep -qF "pnv3400.statusline: \"$1\"" "$work/app.log"; }

# Connect to 127.0.0.1:PORT and read the configuration.
keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
keys 1 2 7 0 period 0 period 1
keys Tab Home Delete Delete Delete Delete Delete
for ((i = 0; i < ${#port}; i++)); do keys "${port:i:1}"; done
keys Tab Return
wait_until 30 "connected" status_set " Server Connect Success "
for _ in $(seq 16); do keys Tab; done
keys Return
wait_until 30 "read" status_set " Configuration Reading Success "

# "Encoder IP": 172.16.40.5, inside the encoder's own subnet, where the other device answers.
click 175 355
keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
keys 1 7 2 period 1 6 period 4 0 period 5
for _ in $(seq 11); do keys Tab; done   # port, 4 mask octets, 4 gateway octets, read, write
keys Return

# The error box comes up, under the application's title; nothing reached the encoder.
box_shown() { xdotool search --onlyvisible --name '^Pnv3400-setup$' >/dev/null 2>&1; }
wait_until 30 "the error box" box_shown
grep -q 'WRITE' "$work/a/sim.log" && fail "the write was sent: $(grep WRITE "$work/a/sim.log")"
[ "$(sim_state_value "$work/a/encoder.state" address)" = 172.16.30.1 ] || fail "the encoder's address changed"
status_set " Configuration Change Success " && fail "the window reported a write"
keys Return                             # OK closes the box
wait_until 30 "the error box to close" bash -c '! xdotool search --onlyvisible --name "^Pnv3400-setup$" >/dev/null 2>&1'

# With the other device gone (its address too, in this namespace only), the same button writes it.
kill "$other"
wait "$other" 2>/dev/null || true
ip addr del 172.16.40.5/32 dev lo
xdotool windowfocus --sync "$window"
keys Return
wait_until 30 "the write once the address is free" status_set " Configuration Change Success "
[ "$(sim_state_value "$work/a/encoder.state" address)" = 172.16.40.5 ] || fail "the encoder does not hold 172.16.40.5"
echo "PASS: a new Encoder IP in use is refused in the error box under a real X server, and written once free"
