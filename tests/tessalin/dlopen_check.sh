#!/usr/bin/env bash
# Runs tessalin_dlopen_check against a fresh simulator on 127.0.0.1, which
# must then end cleanly on SIGTERM.
# Usage: dlopen_check.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: dlopen_check.sh BIN_DIR}

source "$(dirname "$0")/../support/shell-test.sh"
source "$(dirname "$0")/../support/sim.sh"
sim_start "$work" "$bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$work/encoder.state" \
  || fail "the simulator did not start"
pids+=("$sim_pid")

"$bin/tessalin_dlopen_check" "$sim_port"
kill -TERM "$sim_pid"
status=0
wait "$sim_pid" || status=$?
[ "$status" -eq 0 ] || { cat "$work/sim.log" >&2; fail "the simulator did not end cleanly (exit $status)"; }
