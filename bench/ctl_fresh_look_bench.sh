#!/usr/bin/env bash
# The in-use look of apply taken just before each row's write, by a prober
# running ahead of the writers, against today's look of every new address at
# once before the first row (`--probe-up-front`), its baseline: `pnv3400ctl
# apply` (writing) of N re-addressing rows (default 1,000) of one
# `pnv3400-sim --fleet N`, each moving its encoder to an address where nothing
# answers, so that every look waits its full 0.4 s bound. Two plans move the
# fleet to two silent subnets in turn, so that every run writes every row; the
# runs alternate between the two kinds. The ratio is fresh / up-front.
# Runs itself inside the sealed network namespace; every address stays there.
# Usage: bash bench/ctl_fresh_look_bench.sh [BUILD_DIR] [ENCODERS] [PAIRS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
count=${2:-1000}
pairs=${3:-3}

if [ -z "${PNV_BENCH_SEALED:-}" ]; then
  PNV_BENCH_SEALED=1 exec bash "$root/scripts/sealed-net.sh" bash "$0" "$build" "$count" "$pairs"
fi

source "$root/tests/support/sim.sh"
bin=$build/bin
work=$(mktemp -d)
trap '{ [ "${sim_pid:-0}" -gt 1 ] && kill "$sim_pid" 2>/dev/null; } || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
sim_start "$work" "$bin/pnv3400-sim" --fleet "$count" --listen 10.80.0.1 --state-dir "$work/states"
# The new addresses are on a link where nothing answers: a veth pair inside
# this namespace, so every look waits its full bound, as on an empty subnet.
ip link add pnvprobe0 type veth peer name pnvprobe1
ip addr add 10.81.255.254/16 dev pnvprobe0
ip addr add 10.82.255.254/16 dev pnvprobe0
ip link set pnvprobe0 up
ip link set pnvprobe1 up

for subnet in 81 82; do
  echo "encoder,ip,port,gateway,mask" >"$work/plan$subnet.csv"
  sed -n 's/^listening on //p' "$work/sim.out" |
    awk -F'[.:]' -v s="$subnet" '{ printf "%s.%s.%s.%s:%s,10.%s.%s.%s,,0.0.0.0,255.255.0.0\n", $1, $2, $3, $4, $5, s, $3, $4 }' \
      >>"$work/plan$subnet.csv"
done

# seconds PLAN [OPTION...]
seconds() {
  local start end plan=$1
  shift
  start=$(date +%s.%N)
  "$bin/pnv3400ctl" --json apply "$@" "$plan" >"$work/out.jsonl" 2>"$work/err.log" || true
  end=$(date +%s.%N)
  grep -q '"applied":'"$count" "$work/out.jsonl" || { echo "not every row was applied:" >&2; tail -n1 "$work/out.jsonl" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

echo "pnv3400ctl apply of $count re-addressing rows, $(nproc) cores, $pairs pairs"
for _ in $(seq "$pairs"); do
  fresh=$(seconds "$work/plan81.csv")
  upfront=$(seconds "$work/plan82.csv" --probe-up-front)
  echo "looks just before each write ${fresh} s, all up front ${upfront} s, ratio $(awk -v a="$fresh" -v b="$upfront" 'BEGIN { printf "%.2f", a / b }')"
done
