#!/usr/bin/env bash
# Sets up, builds and runs every test inside the sealed network namespace.
# Usage: scripts/test.sh [--sanitize]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/setup.sh"
dir=$(bash "$root/scripts/build.sh" "$@")

export QT_QPA_PLATFORM=offscreen
if [ "${1:-}" = "--sanitize" ]; then
  # Qt's own one-off allocations are not ours to report.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
exec bash "$root/scripts/sealed-net.sh" ctest --test-dir "$dir" --output-on-failure -j 2
