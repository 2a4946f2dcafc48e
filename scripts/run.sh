#!/usr/bin/env bash
# Sets up, builds and starts the utility against a simulated encoder at the
# encoder's factory address 172.16.30.1, port 3001. Both run inside a sealed
# network namespace where that address sits on a private loopback device, so
# the window's defaults reach the simulator exactly as they would reach a
# real encoder, and nothing reaches the real network.
#
# Usage: scripts/run.sh                    with a display: open the window there
#                                          without one: the headless demo (below)
#        scripts/run.sh --screenshot FILE  save a picture of the window at start, exit
#        scripts/run.sh --help
#
# The headless demo opens the window on a virtual display, clicks "Encoder
# Connect" and "Configuration Read" with real X input as a technician would,
# saves pictures of the filled window and of "How to reset?" in the current
# folder, prints their paths and the status line, and exits.
#
# The simulated encoder keeps its configuration in
# ${XDG_STATE_HOME:-~/.local/state}/pnv3400-demo/encoder.state between runs.
# With PNV_BIN_DIR set, the programs there are used as they are: nothing is
# installed or built (the suite's own test of this script does so).
# Every process the script starts (the virtual display, the simulator, the
# window) ends when it ends, however it ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage="usage: scripts/run.sh [--screenshot FILE]"
mode=window screenshot=""
case "${1:-}" in
  "") [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && mode=headless ;;
  --screenshot)
    [ $# -eq 2 ] && [ -n "$2" ] || { echo "run: --screenshot needs one file name" >&2; echo "$usage" >&2; exit 2; }
    mode=screenshot
    screenshot=$(realpath -m "$2") ;;
  -h|--help) echo "$usage"; exit 0 ;;
  *) echo "run: unknown argument '$1'" >&2; echo "$usage" >&2; exit 2 ;;
esac
[ "$mode" = screenshot ] || [ $# -le 1 ] || { echo "run: unexpected argument '$2'" >&2; echo "$usage" >&2; exit 2; }

if [ -n "${PNV_BIN_DIR:-}" ]; then
  bin=$PNV_BIN_DIR
else
  bash "$root/scripts/setup.sh"
  bin="$(bash "$root/scripts/build.sh")/bin"
fi

state_dir="${XDG_STATE_HOME:-$HOME/.local/state}/pnv3400-demo"
mkdir -p "$state_dir"

source "$root/tests/support/sim.sh"
xvfb_pid="" bus_pid="" bus_dir=""
cleanup() {
  local pid
  for pid in $xvfb_pid $bus_pid; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  [ -z "$bus_dir" ] || rm -rf "$bus_dir"
  true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if [ "$mode" != window ]; then
  [ "$mode" = headless ] && echo "run: no display found; running the demo on a virtual one (Xvfb)" >&2
  display_file=$(mktemp)
  exec 3>"$display_file"
  Xvfb -displayfd 3 -screen 0 1024x1000x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.05; done
  export DISPLAY=":$(head -n1 "$display_file")"
  rm -f "$display_file"
  unset WAYLAND_DISPLAY
  # The window on our own display gets our own session bus too, which ends
  # with the display; a bus the user already has is kept.
  bus_dir=$(mktemp -d)
  session_bus_start "$bus_dir" || exit 1
fi

export PNV_BIN="$bin" PNV_STATE="$state_dir/encoder.state" PNV_MODE="$mode" PNV_SCREENSHOT="$screenshot"
export PNV_SHOTS="$PWD" PNV_SIM_SH="$root/tests/support/sim.sh"
# Not exec: the trap above must still end the virtual display.
bash "$root/scripts/sealed-net.sh" bash -c '
set -euo pipefail
source "$PNV_SIM_SH"
work=$(mktemp -d)
log=$work/app.log
app="" sim_pid=""
trap "kill \$app \$sim_pid 2>/dev/null; wait 2>/dev/null; rm -rf $work" EXIT
trap "exit 130" INT
trap "exit 143" TERM
sim_start "$work" "$PNV_BIN/pnv3400-sim" --listen 172.16.30.1 --port 3001 --state "$PNV_STATE" \
  || { echo "run: the simulator did not start" >&2; exit 1; }
echo "run: simulated encoder listening on $sim_address:$sim_port, state in $PNV_STATE" >&2

if [ "$PNV_MODE" = window ]; then
  # Not exec: the simulator must end with the window.
  "$PNV_BIN/pnv3400-setup" &
  app=$!
  wait $app
  exit
fi

QT_QPA_PLATFORM=xcb QT_LOGGING_RULES="pnv3400.statusline.info=true" "$PNV_BIN/pnv3400-setup" 2>"$log" &
app=$!
window=$(find_window) || window=""
[ -n "$window" ] || { echo "run: the window did not come up" >&2; cat "$log" >&2; exit 1; }
# Lets the first paint finish before a picture is taken; the pictures of the
# reset page are decoded when first drawn.
settle() { sleep 1; }

if [ "$PNV_MODE" = screenshot ]; then
  settle
  import -window "$window" "$PNV_SCREENSHOT"
  echo "run: screenshot saved to $PNV_SCREENSHOT" >&2
  exit 0
fi

status() { grep "^pnv3400.statusline: " "$log" | tail -n1 | sed "s/^pnv3400.statusline: //"; }
wait_for_status() {
  for _ in $(seq 100); do [ "$(status)" = "\"$1\"" ] && return 0; sleep 0.05; done
  echo "run: the window shows $(status), not \"$1\"" >&2
  return 1
}
# Button centres in the window, from its definition.
click() { xdotool mousemove --sync --window "$window" "$1" "$2" click 1; }
xdotool windowfocus --sync "$window"
click 492 48      # Encoder Connect
wait_for_status " Server Connect Success "
click 582 395     # Configuration Read
wait_for_status " Configuration Reading Success "
settle
filled="$PNV_SHOTS/pnv3400-demo-ip-config.png"
import -window "$window" "$filled"
click 183 150     # the "How to reset?" tab
settle
reset="$PNV_SHOTS/pnv3400-demo-reset.png"
import -window "$window" "$reset"
echo "run: the window after Encoder Connect and Configuration Read: $filled"
echo "run: the reset instructions: $reset"
echo "run: status line: $(status)"
'
