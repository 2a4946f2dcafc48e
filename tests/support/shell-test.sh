# Sourced by the suite's shell tests. Gives a work folder ($work) that goes
# at exit with every process recorded in $pids, and:
#   require TOOL...   skip the test (exit 77) when a tool is missing
#   fail MESSAGE      fail the test
#   in_sealed_network true in the namespace scripts/sealed-net.sh made (by its
#                     identity, never by its devices), not in one made inside it
#   wait_until SECONDS WHAT COMMAND...   poll COMMAND until it succeeds
#   start_xvfb        a virtual X server on a free display, and a session bus
#                     for the windows on it; exports DISPLAY
source "$(dirname "${BASH_SOURCE[0]}")/sim.sh"
work=$(mktemp -d)
# What our programs remember between runs (the ledger of pending addresses)
# stays in the work folder, never in the user's own state folder.
export XDG_STATE_HOME="$work/state"
pids=()
shell_test_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap shell_test_cleanup EXIT

require() {
  local tool
  for tool; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"; exit 77; }
  done
}

fail() { echo "FAIL: $*" >&2; exit 1; }

in_sealed_network() {
  local here
  here=$(readlink /proc/self/ns/net)
  [ -n "${PNV_SEALED_NETNS:-}" ] && [ "$PNV_SEALED_NETNS" = "$here" ] \
    && [ "$(readlink /proc/1/ns/net 2>/dev/null)" != "$here" ]
}

wait_until() {
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "$what: not within the time allowed"
    sleep 0.05
  done
}

# The server picks its display itself (-displayfd), so tests running side by
# side never race for one. A server that cannot start skips the test.
start_xvfb() {
  exec 3>"$work/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x1000x24 >"$work/xvfb.log" 2>&1 &
  pids+=("$!")
  exec 3>&-
  local tries
  for ((tries = 0; tries < 100; ++tries)); do
    [ -s "$work/display" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  [ -s "$work/display" ] || { echo "SKIP: Xvfb did not start: $(tail -n1 "$work/xvfb.log")"; exit 77; }
  export DISPLAY=":$(head -n1 "$work/display")"
  session_bus_start "$work" || fail "no session bus for the window"
  [ -z "$bus_pid" ] || pids+=("$bus_pid")
}
