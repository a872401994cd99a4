#!/usr/bin/env bash
# Compares the dynamic symbols a shared library defines with an expected list, one name a line.
set -euo pipefail
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
want=$(sort -u "$expected")
if [ "$actual" != "$want" ]; then
  echo "exports of $lib differ from $expected:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports of $(basename "$lib"): $(echo "$actual" | wc -l) names, as expected"
