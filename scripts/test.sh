#!/usr/bin/env bash
# Sets up, builds and runs every test inside the sealed network namespace;
# a test that skips fails the run (scripts/check-skips.py says which and why).
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
# The report keeps every test's whole output, passed ones too: a Qt test
# function's skip shows only there.
report="$dir/ctest-results.xml"
rm -f "$report"
status=0
bash "$root/scripts/sealed-net.sh" ctest --test-dir "$dir" --output-on-failure -j 2 \
  --output-junit "$report" --test-output-size-passed 4194304 --test-output-size-failed 4194304 || status=$?
if [ -f "$report" ]; then
  python3 "$root/scripts/check-skips.py" "$report" "$root/README.md" || { [ "$status" -ne 0 ] || status=1; }
else
  echo "test.sh: ctest wrote no report ($report)" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
