#!/usr/bin/env bash
# The randomized fault histories of tests/faults for a soak: as long as asked
# (default an hour), inside the sealed network namespace that it makes.
# Prints the seed first; a failure prints it again with the history.
# Usage: bash bench/fault_soak.sh [BUILD_DIR] [SECONDS] [SEED]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-3600}
seed=${3:-}
exec bash "$root/scripts/sealed-net.sh" python3 "$root/tests/faults/fault_histories.py" "$build/bin" \
  --seconds "$seconds" ${seed:+--seed "$seed"}
