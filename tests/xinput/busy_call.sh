#!/usr/bin/env bash
# The window during a slow call, under a real X server with real X input
# (xdotool): clicks and keys made while a read waits for a slow encoder are
# dropped, not carried out afterwards. The simulator's log counts every
# write that reaches the encoder.
# Usage: busy_call.sh BIN_DIR    (exit 77: skipped, and why)
set -euo pipefail
bin=${1:?usage: busy_call.sh BIN_DIR}

source "$(dirname "$0")/../support/shell-test.sh"
require Xvfb xdotool
start_xvfb

# Reads and writes are answered 1.5 s late; connecting is not.
sim_start "$work" "$bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$work/encoder.state" \
  --fault delay:1500 || fail "the simulator did not start"
pids+=("$sim_pid")
port=$sim_port

QT_QPA_PLATFORM=xcb QT_LOGGING_RULES="pnv3400.statusline.info=true" \
  "$bin/pnv3400-setup" >"$work/app.log" 2>&1 &
pids+=($!)
window=$(find_window) || { cat "$work/app.log" >&2; fail "the window did not come up"; }
xdotool windowfocus --sync "$window"

latest_status() { grep 'pnv3400.statusline' "$work/app.log" | tail -n1 | sed 's/^pnv3400.statusline: //'; }
expect_status() {
  local deadline=$((SECONDS + 20))
  until [ "$(latest_status)" = "\"$1\"" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      cat "$work/app.log" "$work/sim.log" >&2
      fail "status line \"$1\" not within 20 s"
    fi
    sleep 0.05
  done
}
keys() { xdotool key --delay 15 "$@"; }
# The middle of "Configuration Write", in the window's client area. (A
# synchronous move to where the pointer already is would wait for ever.)
point_at_write() { xdotool mousemove --sync --window "$window" 572 510; }
click() { xdotool click 1; }
status_count() { grep -c 'pnv3400.statusline' "$work/app.log" || true; }
writes() { grep -c 'WRITE -> ' "$work/sim.log" || true; }

keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
keys 1 2 7 0 period 0 period 1 Tab Home Delete Delete Delete Delete Delete
for ((i = 0; i < ${#port}; i++)); do keys "${port:i:1}"; done
keys Tab Return
expect_status " Server Connect Success "

# Read, and while the encoder takes its time: two clicks on Write, Tab and
# Enter (which would click Write too), digits into a field.
for _ in $(seq 16); do keys Tab; done
keys Return
expect_status ""
point_at_write
click
click
keys Tab Return 7 7
[ "$(status_count)" -eq 2 ] || fail "$(status_count) status lines during the read: input made then was carried out, or the read ended before it was made"
expect_status " Configuration Reading Success "

# The same click after the call writes, once: the spot is the Write button,
# and nothing made during the read was carried out before it.
click
expect_status " Configuration Change Success "
[ "$(writes)" -eq 1 ] || { cat "$work/sim.log" >&2; fail "$(writes) writes reached the encoder, expected 1"; }
[ "$(status_count)" -eq 5 ] || { cat "$work/app.log" >&2; fail "$(status_count) status lines, expected 5"; }
echo "PASS: input made during a slow call is dropped, not replayed"
