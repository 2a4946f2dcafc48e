#!/usr/bin/env bash
# The benchmark command: builds the programs in Release (build-release/) and
# runs every figure beside its baseline, alternating them, then prints one
# table. Usage: bench/compare.sh [--reps N] [--only startup xvfb memory wire decode bridge] [--cpu N]
# Needs what scripts/setup.sh installs, and python3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
command -v python3 >/dev/null || { echo "compare: needs python3 (apt-get install python3)" >&2; exit 1; }
bash "$root/scripts/setup.sh"
dir="$root/build-release"
cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPNV_BUILD_BENCH=ON >&2
cmake --build "$dir" --target bench pnv3400-sim -j 2 >&2
exec python3 "$root/bench/compare.py" "$dir/bin" "$@"
