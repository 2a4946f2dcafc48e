#!/usr/bin/env bash
# Configures and builds the project. Usage: scripts/build.sh [--sanitize]
# Builds into build/ (or build-sanitize/); prints the build folder last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

dir="$root/build"
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$root/build-sanitize"
  flags+=(-DPNV_SANITIZE=ON)
fi
# A compiler cache, where one is installed, makes rebuilds in other checkouts cheap.
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# CI treats every warning as an error and builds the benchmarks too.
if [ -n "${CI:-}" ]; then flags+=(-DPNV_WERROR=ON -DPNV_BUILD_BENCH=ON); fi

cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
