#!/usr/bin/env bash
# pnv3400ctl apply of one `pnv3400-sim --fleet N` through the Wine bridge (our
# Tessalin.DLL, x86 and x64) against the same plan through libtessalin.so,
# alternated, each run writing a new gateway to every encoder. Target: the
# bridge within 2x. Runs itself inside the sealed network namespace.
# Usage: bash bench/ctl_bridge_bench.sh [BUILD_DIR] [ENCODERS] [JOBS] [PAIRS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
count=${2:-1000}
jobs=${3:-8}
pairs=${4:-2}

if [ -z "${PNV_BENCH_SEALED:-}" ]; then
  PNV_BENCH_SEALED=1 exec bash "$root/scripts/sealed-net.sh" bash "$0" "$build" "$count" "$jobs" "$pairs"
fi

bin=$build/bin
work=$(mktemp -d "$build/ctl-bridge-bench.XXXXXX")
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix} WINEDEBUG=-all
trap '{ [ "${sim:-0}" -gt 1 ] && kill "$sim" 2>/dev/null; } || true; wait 2>/dev/null || true; rm -rf "$work"; wineserver -k 2>/dev/null || true' EXIT

first=10.78.0.1
bash "$root/scripts/fleet-addresses.sh" "$first" "$count"
: >"$work/sim.out"
"$bin/pnv3400-sim" --fleet "$count" --listen "$first" --state-dir "$work/states" >"$work/sim.out" 2>/dev/null &
sim=$!
until [ "$(wc -l <"$work/sim.out")" -ge "$count" ]; do
  kill -0 "$sim" || exit 1
  sleep 0.1
done
mapfile -t encoders < <(sed 's/^listening on //' "$work/sim.out")

# apply LIBRARY GATEWAY_OCTET: seconds for the whole plan, every row applied or the run fails.
apply() {
  { echo "encoder,ip,port,gateway,mask"
    for e in "${encoders[@]}"; do echo "$e,,,10.78.255.$2,255.255.0.0"; done; } >"$work/plan.csv"
  local start end
  start=$(date +%s.%N)
  TESSALIN_LIBRARY=$1 "$bin/pnv3400ctl" --json apply "$work/plan.csv" --jobs "$jobs" >"$work/out.json" 2>/dev/null || true
  end=$(date +%s.%N)
  grep -q "\"applied\":$count," "$work/out.json" || { tail -1 "$work/out.json" >&2; echo "not every row applied" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

echo "pnv3400ctl apply, $count encoders, --jobs $jobs, $(nproc) cores; seconds per plan"
gateway=1
apply "$bin/libtessalin.so" "$gateway" >/dev/null   # warms the page cache
for arch in x86 x64; do
  dll=$build/windows/$arch/Tessalin.DLL
  for i in $(seq "$pairs"); do
    gateway=$((gateway + 2))
    native=$(apply "$bin/libtessalin.so" $((gateway - 1)))
    bridged=$(apply "$dll" "$gateway")
    awk -v n="$native" -v b="$bridged" -v a="$arch" 'BEGIN { printf "%s: native %.2f s, bridge %.2f s, ratio %.2f (target <= 2)\n", a, n, b, b / n }'
  done
done
