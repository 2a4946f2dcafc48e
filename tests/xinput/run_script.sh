#!/usr/bin/env bash
# scripts/run.sh as a user runs it: a picture of the window at start, and
# afterwards not one of the processes it started is left running; an unknown
# option is refused with the usage line before anything starts.
# Usage: run_script.sh BIN_DIR    (exit 77: skipped, and why)
set -euo pipefail
bin=${1:?usage: run_script.sh BIN_DIR}
root=$(cd "$(dirname "$0")/../.." && pwd)

source "$(dirname "$0")/../support/shell-test.sh"
require Xvfb xdotool import setsid unshare

set +e
PNV_BIN_DIR=$bin bash "$root/scripts/run.sh" --bogus >"$work/bogus.out" 2>&1
status=$?
set -e
[ "$status" -eq 2 ] || fail "run.sh --bogus: exit $status, expected 2: $(cat "$work/bogus.out")"
grep -q '^usage: scripts/run.sh' "$work/bogus.out" || fail "run.sh --bogus printed no usage line"

# Its own session, so that whatever it leaves behind can be found by it; no
# session bus, the case in which a window would autolaunch one over X.
env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS PNV_BIN_DIR="$bin" XDG_STATE_HOME="$work/state" \
  setsid bash "$root/scripts/run.sh" --screenshot "$work/shot.png" >"$work/run.out" 2>&1 &
session=$!
wait_until 60 "run.sh --screenshot to end" bash -c "! kill -0 $session 2>/dev/null"
wait "$session" || fail "run.sh --screenshot failed: $(cat "$work/run.out")"
[ "$(identify -format '%wx%h' "$work/shot.png")" = 785x836 ] || fail "the picture is not the window: $(identify "$work/shot.png")"
# run.sh waits for everything it ends, so nothing may be left the moment it has exited.
left=$(pgrep -a -s "$session" || true)
[ -z "$left" ] || fail "run.sh left running: $left"
echo "PASS: run.sh --screenshot leaves nothing running; an unknown option is refused"
