#!/usr/bin/env bash
# Builds the benchmarks in Release (build/bench) and runs each, printing its figures. Arguments go
# to every benchmark binary, e.g. scripts/bench.sh --benchmark_filter=blob --benchmark_repetitions=3
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDUMP_BUILD_TESTS=OFF \
  -DMDUMP_BUILD_BENCH=ON
cmake --build build/bench
for bench in build/bench/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
