#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60, every target)
#        scripts/fuzz.sh --build-only       (builds every target, runs none: CI)
# Inputs found interesting go to build-fuzz/corpus/<target>/, crashing ones to
# build-fuzz/artifacts/. The library target talks to its own fake encoder on
# 127.0.0.1 only, and runs inside a private network namespace when one can be
# made, so that nothing it does could leave the machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_only=""
if [ "${1:-}" = "--build-only" ]; then build_only=yes; shift; fi
seconds=${1:-60}
shift || true
targets=("$@")
case $seconds in ''|*[!0-9]*|0) echo "fuzz.sh: seconds must be a positive whole number" >&2; exit 2;; esac

dir="$root/build-fuzz"
cmake -G Ninja -S "$root/fuzz" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DPNV_WERROR=ON >&2
# The machine's cores are shared: two jobs at most.
cmake --build "$dir" -j 2 >&2
[ -z "$build_only" ] || exit 0
# Every target the fuzz project builds (its programs in bin/), unless some were named.
if [ ${#targets[@]} -eq 0 ]; then
  for program in "$dir"/bin/fuzz_*; do targets+=("$(basename "$program")"); done
fi

sealed=()
if unshare -n true 2>/dev/null || unshare -r -n true 2>/dev/null; then
  sealed=(bash "$root/scripts/sealed-net.sh")
fi

status=0
for target in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$target" "$dir/artifacts"
  echo "== $target: ${seconds}s" >&2
  runner=()
  quiet=()
  case $target in fuzz_library_reply|fuzz_client_session) runner=("${sealed[@]}");; esac
  # The simulator logs every connection: keep that out of the fuzzer's report.
  [ "$target" = fuzz_client_session ] && quiet=(-close_fd_mask=2)
  # -timeout: one input taking 10 s is a hang; the total time bounds the run.
  if ! "${runner[@]}" "$dir/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "${quiet[@]}" -artifact_prefix="$dir/artifacts/$target-" \
      "$dir/corpus/$target" "$root/fuzz/corpus/$target"; then
    echo "== $target: FAILED, see the input in $dir/artifacts/" >&2
    status=1
  fi
done
exit $status
