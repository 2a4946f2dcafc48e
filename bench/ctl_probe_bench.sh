#!/usr/bin/env bash
# The in-use check of a re-addressing plan: `pnv3400ctl apply --dry-run` of N
# rows (default 1,000), each moving an encoder of one `pnv3400-sim --fleet N`
# to an address where nothing answers, so that every probe waits its full
# bound, against the same plan with --allow-in-use (no probe at all), its
# baseline, in alternating pairs. A probe per row in its worker cost about
# 0.4 s × N / jobs on top of the baseline; probed all at once before the first
# write, the check costs a few probe times.
# Runs itself inside the sealed network namespace; every address stays there.
# Usage: bash bench/ctl_probe_bench.sh [BUILD_DIR] [ENCODERS] [PAIRS]
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
# this namespace, so every probe waits its full bound, as on an empty subnet.
ip link add pnvprobe0 type veth peer name pnvprobe1
ip addr add 10.81.255.254/16 dev pnvprobe0
ip link set pnvprobe0 up
ip link set pnvprobe1 up

plan=$work/plan.csv
echo "encoder,ip,port,gateway,mask" >"$plan"
sed -n 's/^listening on //p' "$work/sim.out" |
  awk -F'[.:]' '{ printf "%s.%s.%s.%s:%s,10.81.%s.%s,,0.0.0.0,255.255.0.0\n", $1, $2, $3, $4, $5, $3, $4 }' >>"$plan"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$bin/pnv3400ctl" --json apply --dry-run "$@" "$plan" >"$work/out.jsonl" 2>"$work/err.log" || true
  end=$(date +%s.%N)
  grep -q '"dry-run":'"$count" "$work/out.jsonl" || { echo "not every row was a dry run:" >&2; tail -n1 "$work/out.jsonl" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

echo "pnv3400ctl apply --dry-run of $count re-addressing rows, $(nproc) cores, $pairs pairs"
for _ in $(seq "$pairs"); do
  checked=$(seconds)
  baseline=$(seconds --allow-in-use)
  echo "with the in-use check ${checked} s, without ${baseline} s, ratio $(awk -v a="$checked" -v b="$baseline" 'BEGIN { printf "%.2f", a / b }')"
done
