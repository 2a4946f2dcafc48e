#!/usr/bin/env bash
# One-shot `pnv3400ctl read` through the Wine bridge (our Tessalin.DLL, x64),
# cold (no wineserver of the prefix running: Wine's services start with it)
# and warm (a second run while the wineserver the bridge started for the
# prefix stays), beside the same one-shot read through libtessalin.so, its
# baseline, in rounds. Target: a warm one-shot within 0.25 s.
# Runs itself inside the sealed network namespace.
# Usage: bash bench/ctl_oneshot_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
rounds=${2:-5}

if [ -z "${PNV_BENCH_SEALED:-}" ]; then
  PNV_BENCH_SEALED=1 exec bash "$root/scripts/sealed-net.sh" bash "$0" "$build" "$rounds"
fi

source "$root/tests/support/sim.sh"
bin=$build/bin
work=$(mktemp -d)
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix} WINEDEBUG=-all
trap '{ [ "${sim_pid:-0}" -gt 1 ] && kill "$sim_pid" 2>/dev/null; } || true; wait 2>/dev/null || true; rm -rf "$work"; wineserver -k 2>/dev/null || true' EXIT
sim_start "$work" "$bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$work/encoder.state"

# seconds LIBRARY: one whole read, which must succeed.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$bin/pnv3400ctl" --library "$1" --encoder "127.0.0.1:$sim_port" read >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
dll=$build/windows/x64/Tessalin.DLL
native=$bin/libtessalin.so
printf '%-6s %10s %10s %10s %12s %12s\n' round native cold warm cold/native warm/native
for ((round = 1; round <= rounds; ++round)); do
  wineserver -k 2>/dev/null || true
  timeout 30 wineserver -w || true
  n=$(seconds "$native")
  c=$(seconds "$dll")
  w=$(seconds "$dll")
  printf '%-6s %10.3f %10.3f %10.3f %12.1f %12.1f\n' "$round" "$n" "$c" "$w" "$(echo "$c / $n" | bc -l)" "$(echo "$w / $n" | bc -l)"
done
