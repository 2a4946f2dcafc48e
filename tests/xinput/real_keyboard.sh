#!/usr/bin/env bash
# The window under a real X server (Xvfb, the xcb platform), driven with real
# X key events and mouse clicks (xdotool) as a technician drives it, against
# the simulator on loopback. Whether the keys did what they should is read
# from what the program does: its status lines (logged on request) and the
# configuration that reaches the simulator's state file.
# Usage: real_keyboard.sh BIN_DIR    (exit 77: skipped, and why)
set -euo pipefail
bin=${1:?usage: real_keyboard.sh BIN_DIR}

source "$(dirname "$0")/../support/shell-test.sh"
source "$(dirname "$0")/../support/sim.sh"
require Xvfb xdotool
start_xvfb

sim_start "$work" "$bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$work/encoder.state" \
  || fail "the simulator did not start"
pids+=("$sim_pid")
port=$sim_port

QT_QPA_PLATFORM=xcb QT_LOGGING_RULES="pnv3400.statusline.info=true" \
  "$bin/pnv3400-setup" >"$work/app.log" 2>&1 &
pids+=($!)
window=$(find_window) || { cat "$work/app.log" >&2; fail "the window did not come up"; }
xdotool windowfocus --sync "$window"

failures=0
# The program's log lines, each read the moment it is written (tail follows
# the log through inotify), so that a wait ends on the status line itself
# however slowly a loaded machine gets there.
mkfifo "$work/log.fifo"
tail -n +1 -F "$work/app.log" 2>/dev/null >"$work/log.fifo" &
pids+=($!)
exec {status_lines}<"$work/log.fifo"
# Waits for the next status line the program sets (the empty one a handler
# starts with aside) and fails unless it is $1. The read's bound only keeps a
# line that never comes from hanging the test until ctest ends it.
expect_status() {
  local want="\"$1\"" line got
  while IFS= read -r -t 60 line <&"$status_lines"; do
    [[ $line == "pnv3400.statusline: "* ]] || continue
    got=${line#pnv3400.statusline: }
    [ "$got" = '""' ] && continue
    [ "$got" = "$want" ] && return
    break
  done
  echo "FAIL: status line: expected $want, got: ${got:-nothing}" >&2
  failures=$((failures + 1))
}
keys() { xdotool key --delay 15 "$@"; }
# Clicks at a point of the window's client area, which is at the window's origin.
click() { xdotool mousemove --sync --window "$window" "$1" "$2" click 1; }
type_port() { for ((i = 0; i < ${#port}; i++)); do keys "${port:i:1}"; done; }

# Link zone. The focus starts in the first octet of "Encoder IP": End, then
# Backspace across all four fields empties the address; a third digit moves
# on to the next field.
keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
keys 1 2 7 0 period 0 period 1
# Tab selects the port; Delete deletes, where the X server's DEL must not stop it.
keys Tab Home Delete Delete Delete Delete Delete
type_port
keys Tab Return                         # Enter clicks the focused "Encoder Connect"
expect_status " Server Connect Success "

# Tab through the window: disconnect, MAC, 4 octets, port, 4 octets, 4 octets, read.
for _ in $(seq 16); do keys Tab; done
keys Return
expect_status " Configuration Reading Success "

# "Encoder Port" holds 3001. Clicks on the page background, a group box frame
# and a dot between two octets take no focus: the digit still lands here.
click 320 465                           # the caret goes to the end
keys BackSpace
click 450 250; click 100 580; click 244 690
keys 9 Home Delete 4                    # 3001 -> 300 -> 3009 -> 009 -> 4009

# "Default gateWay": empty it, type 72.16.31.254; Shift+Home goes to the first
# octet. (The gateway is in the encoder's subnet: the window refuses any other.)
click 175 691
keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
keys 7 2 period 1 6 period 3 1 period 2 5 4
keys shift+Home Delete 1 7             # 72 -> 2 -> 12 -> 172

# "Subnet Mask" typed whole, dots included, over a double-clicked first
# octet: the dot after each advance on a third digit confirms that advance.
xdotool mousemove --sync --window "$window" 175 579 click --repeat 2 --delay 80 1
keys 2 5 5 period 2 5 5 period 2 5 4 period 0

# Clipboard keys in the octet fields: copy 255 from the mask with Ctrl+Insert,
# paste it into the last octet of "Encoder IP" with Shift+Insert; cut the
# third octet with Shift+Delete, Ctrl+V pastes nothing, Shift+Insert puts it back.
click 175 579
keys Home shift+Right shift+Right shift+Right ctrl+Insert
click 175 355
keys End BackSpace shift+Insert
keys Left Left Left Left                # across to the third octet, caret at its start
keys shift+Right shift+Right shift+Delete ctrl+v shift+Insert

# Tab to "Configuration Write": octet 4, port, 4 mask octets, 4 gateway octets, read, write.
for _ in $(seq 12); do keys Tab; done
keys Return
expect_status " Configuration Change Success "

want=$'address = 172.16.30.255\nport = 4009\ngateway = 172.16.31.254\nmask = 255.255.254.0'
got=$(grep -E '^(address|port|gateway|mask) = ' "$work/encoder.state" || true)
if [ "$got" != "$want" ]; then
  echo "FAIL: the encoder holds" >&2; echo "$got" >&2; echo "expected" >&2; echo "$want" >&2
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  echo "--- program log" >&2; cat "$work/app.log" >&2
  echo "--- simulator log" >&2; cat "$work/sim.log" >&2
  exit 1
fi
echo "PASS: keyboard, mouse and clipboard under a real X server"
