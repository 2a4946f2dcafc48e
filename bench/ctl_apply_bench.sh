#!/usr/bin/env bash
# pnv3400ctl apply against one `pnv3400-sim --fleet 1000`, with --jobs 1, 4 and
# 16, as time per encoder against a single `write` run alone beside it, and
# where a row's time goes: starting the process, the library's calls, and the
# simulator's durable save (the part of a write call spent in fsync).
# Runs itself inside the sealed network namespace; every address stays there.
# Usage: bash bench/ctl_apply_bench.sh [BUILD_DIR] [ENCODERS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
count=${2:-1000}

if [ -z "${PNV_BENCH_SEALED:-}" ]; then
  PNV_BENCH_SEALED=1 exec bash "$root/scripts/sealed-net.sh" bash "$0" "$build" "$count"
fi

bin=$build/bin
work=$(mktemp -d "$build/ctl-bench.XXXXXX")   # on the build's disk, not tmpfs: saves are durable there
trap '{ [ "${sim:-0}" -gt 1 ] && kill "$sim" 2>/dev/null; } || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

first=10.78.0.1
bash "$root/scripts/fleet-addresses.sh" "$first" "$count"
"$bin/pnv3400-sim" --fleet "$count" --listen "$first" --state-dir "$work/states" >"$work/sim.out" 2>"$work/sim.log" &
sim=$!
until [ "$(wc -l <"$work/sim.out")" -ge "$count" ]; do
  kill -0 "$sim" || { cat "$work/sim.log" >&2; exit 1; }
  sleep 0.1
done
mapfile -t encoders < <(sed 's/^listening on //' "$work/sim.out")

now() { date +%s.%N; }
ms() { awk -v a="$1" -v b="$2" -v n="${3:-1}" 'BEGIN { printf "%.1f", (b - a) * 1000 / n }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Baseline: one write alone, 20 times on 20 encoders; the median, and its
# library calls as --verbose logs them.
: >"$work/verbose.log"
for i in $(seq 0 19); do
  start=$(now)
  "$bin/pnv3400ctl" --verbose --encoder "${encoders[$i]}" write --gateway 10.78.255.1 >/dev/null 2>>"$work/verbose.log"
  ms "$start" "$(now)"
  echo
done | median >"$work/single"
# A process that starts and ends without binding the library or sending anything.
for i in $(seq 20); do
  start=$(now)
  "$bin/pnv3400ctl" check --ip 10.78.0.1 >/dev/null
  ms "$start" "$(now)"
  echo
done | median >"$work/start"
call() { grep -F "$1" "$work/verbose.log" | sed -E 's/.*\(([0-9.]+) ms\)$/\1/' | median; }

echo "pnv3400ctl apply, $count encoders of one pnv3400-sim --fleet $count, $(nproc) cores"
echo "single write alone (median of 20): $(cat "$work/single") ms"
echo "  process start and exit, no library: $(cat "$work/start") ms"
echo "  S_Connect $(call S_Connect) ms, ConfigRead $(call ConfigRead) ms (each of two), ConfigWrite $(call ConfigWrite) ms (the simulator's durable save is inside it)"

gateway=2
for jobs in 1 4 16; do
  {
    echo "encoder,ip,port,gateway,mask"
    for e in "${encoders[@]}"; do echo "$e,,,10.78.255.$gateway,"; done
  } >"$work/plan.csv"
  gateway=$((gateway + 1))
  start=$(now)
  "$bin/pnv3400ctl" apply "$work/plan.csv" --jobs "$jobs" >"$work/apply.out" 2>&1 || true
  end=$(now)
  per=$(ms "$start" "$end" "$count")
  ratio=$(awk -v p="$per" -v s="$(cat "$work/single")" 'BEGIN { printf "%.2f", p / s }')
  echo "apply --jobs $jobs: total $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s, $per ms per encoder = $ratio x a single write; $(tail -1 "$work/apply.out")"
done
