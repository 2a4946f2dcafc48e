# The encoder simulator and the utility's window for shell scripts: the
# suite's shell tests and scripts/run.sh. Source it; it only defines
# functions, sets no shell options and needs nothing else sourced.
#
#   sim_start DIR PROGRAM [ARGUMENT...]
#       Starts PROGRAM (a pnv3400-sim) in the background with the ARGUMENTs,
#       its stdout in DIR/sim.out and its stderr in DIR/sim.log, and waits up
#       to 20 s until it has printed one "listening on ADDRESS:PORT" line per
#       encoder (N with --fleet N, else 1). A fleet's addresses are put on the
#       loopback device first by scripts/fleet-addresses.sh, which refuses to
#       run outside the sealed network namespace. Sets sim_pid, sim_address
#       and sim_port (the first encoder's). On failure it prints why and the
#       simulator's log on stderr, stops it, and returns 1.
#   sim_state_value FILE KEY
#       Prints the value of the "KEY = VALUE" line of the state file FILE.
#   session_bus_start DIR
#       Gives the windows started afterwards a session bus of their own, unless
#       DBUS_SESSION_BUS_ADDRESS already names one: without any, the window's
#       accessibility bridge makes libdbus autolaunch a bus over X that
#       outlives the script. The bus listens at DIR/bus, activates no services
#       (so it starts nothing it does not end itself) and sets bus_pid; where
#       no dbus-daemon is installed, the address alone turns the autolaunch off.
#   find_window [SECONDS]
#       Prints the X window id of the visible "PNV-3400 Set-up Utility" window
#       once there is one (within SECONDS, 20 by default); returns 1 if none.
#
# Stopping is the caller's: shell-test.sh's callers add $sim_pid to pids.

sim_sh_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)

sim_start() {
  local dir=$1 program=$2
  shift 2
  local encoders=1 fleet="" listen="" previous="" argument
  for argument; do
    case $previous in
      --fleet) encoders=$argument fleet=yes ;;
      --listen) listen=$argument ;;
    esac
    previous=$argument
  done
  if [ -n "$fleet" ]; then
    bash "$sim_sh_scripts/fleet-addresses.sh" "$listen" "$encoders" || return 1
  fi
  : >"$dir/sim.out"
  # Its stdout comes through a pipe that this shell keeps open, so that each
  # line is read the moment it is written, with no polling; the simulator
  # prints nothing else there, so the pipe never fills.
  rm -f "$dir/sim.fifo"
  mkfifo "$dir/sim.fifo" || return 1
  "$program" "$@" >"$dir/sim.fifo" 2>"$dir/sim.log" &
  sim_pid=$!
  exec {sim_fd}<"$dir/sim.fifo"
  rm -f "$dir/sim.fifo"
  local deadline=$((SECONDS + 20)) seen=0 line
  while [ "$seen" -lt "$encoders" ]; do
    # The same readiness rule as SimulatorProcess.h and pnvtest.py: only
    # "listening on" lines count; the end of the output or the deadline fails.
    if [ "$SECONDS" -ge "$deadline" ] || ! IFS= read -r -t "$((deadline - SECONDS))" -u "$sim_fd" line; then
      echo "the simulator did not report listening; its log:" >&2
      cat "$dir/sim.log" >&2
      kill "$sim_pid" 2>/dev/null
      return 1
    fi
    printf '%s\n' "$line" >>"$dir/sim.out"
    case $line in "listening on "*) seen=$((seen + 1)) ;; esac
  done
  local first
  first=$(sed -n '1s/^listening on //p' "$dir/sim.out")
  sim_address=${first%:*}
  sim_port=${first##*:}
}

sim_state_value() {
  sed -n "s/^$2 *= *//p" "$1" | head -n1
}

session_bus_start() {
  local dir=$1
  bus_pid=""
  [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || return 0
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  command -v dbus-daemon >/dev/null || return 0
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$DBUS_SESSION_BUS_ADDRESS</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >/dev/null 2>"$dir/bus.log" &
  bus_pid=$!
  local deadline=$((SECONDS + 10))
  until [ -S "$dir/bus" ]; do
    if ! kill -0 "$bus_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
      echo "the session bus did not start: $(tail -n1 "$dir/bus.log")" >&2
      kill "$bus_pid" 2>/dev/null
      bus_pid=""
      return 1
    fi
    sleep 0.02
  done
}

find_window() {
  local id
  id=$(timeout "${1:-20}" xdotool search --sync --onlyvisible --name '^PNV-3400 Set-up Utility$' | head -n1)
  [ -n "$id" ] && echo "$id"
}
