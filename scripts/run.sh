#!/usr/bin/env bash
# Sets up, builds and starts the utility against a simulated encoder at the
# encoder's factory address 172.16.30.1, port 3001. Both run inside a sealed
# network namespace where that address sits on a private loopback device, so
# the window's defaults reach the simulator exactly as they would reach a
# real encoder, and nothing reaches the real network.
#
# Usage: scripts/run.sh                   open the window on your display
#        scripts/run.sh --screenshot FILE  run headless, save a screenshot, exit
#
# The simulated encoder keeps its configuration in
# ${XDG_STATE_HOME:-~/.local/state}/pnv3400-demo/encoder.state between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

screenshot=""
if [ "${1:-}" = "--screenshot" ]; then
  screenshot=$(realpath -m "${2:?--screenshot needs a file name}")
fi

bash "$root/scripts/setup.sh"
bin="$(bash "$root/scripts/build.sh")/bin"

state_dir="${XDG_STATE_HOME:-$HOME/.local/state}/pnv3400-demo"
mkdir -p "$state_dir"

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -n "$screenshot" ] || [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  [ -z "$screenshot" ] && echo "run: no display found; starting a virtual one (Xvfb)" >&2
  display=99
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  Xvfb ":$display" -screen 0 1024x1000x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  export DISPLAY=":$display"
  unset WAYLAND_DISPLAY
fi

export PNV_BIN="$bin" PNV_STATE="$state_dir/encoder.state" PNV_SCREENSHOT="$screenshot"
bash "$root/scripts/sealed-net.sh" bash -c '
set -euo pipefail
out=$(mktemp)
"$PNV_BIN/pnv3400-sim" --listen 172.16.30.1 --port 3001 --state "$PNV_STATE" >"$out" &
sim=$!
trap "kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -f $out" EXIT
for _ in $(seq 100); do grep -q "^listening on" "$out" && break; sleep 0.05; done
grep -q "^listening on" "$out" || { echo "run: the simulator did not start" >&2; exit 1; }
echo "run: simulated encoder $(head -n1 "$out"), state in $PNV_STATE" >&2

if [ -z "$PNV_SCREENSHOT" ]; then
  "$PNV_BIN/pnv3400-setup"
else
  "$PNV_BIN/pnv3400-setup" & app=$!
  window=$(xdotool search --sync --onlyvisible --name "PNV-3400 Set-up Utility" | head -n1)
  sleep 1   # let the first paint finish
  import -window "$window" "$PNV_SCREENSHOT"
  kill $app
  echo "run: screenshot saved to $PNV_SCREENSHOT" >&2
fi
'
