#!/usr/bin/env bash
# Runs every fuzz target for longer than the test command does: scripts/fuzz.sh SECONDS.
# New inputs land in build/asan/tests/fuzz/<target>_corpus; minimise and commit the useful ones.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-1800}
scripts/deps.sh
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMDUMP_SANITIZE=address,undefined -DMDUMP_BUILD_FUZZERS=ON
cmake --build build/asan
for target in build/asan/tests/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  scratch=build/asan/tests/fuzz/${name}_corpus
  mkdir -p "$scratch"
  echo "== $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$scratch" "tests/fuzz/corpus/${name#fuzz_}"
done
