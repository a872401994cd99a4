#!/usr/bin/env bash
# The test command. On a fresh Debian 12 machine (as root): installs what is missing, builds,
# starts a throwaway MariaDB server on loopback, runs the whole suite, then builds and runs it
# again under AddressSanitizer + UndefinedBehaviorSanitizer together with the bounded fuzz runs,
# and cross-builds the Windows DLL with mingw-w64 and runs its tests under Wine.
# Exits non-zero on any failure; the server is stopped on every exit path.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fuzz_seconds=${MDUMP_FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)

scripts/deps.sh

step() { printf '\n==== %s\n' "$*"; }

step "build (g++, debug)"
cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug
cmake --build build/debug

step "build (clang, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMDUMP_SANITIZE=address,undefined -DMDUMP_BUILD_FUZZERS=ON -DMDUMP_FUZZ_SECONDS="$fuzz_seconds" \
  -DMDUMP_BUILD_BENCH=OFF
cmake --build build/asan

step "build (g++, Mbed TLS 3.6 from Debian's source package)"
mbedtls3_prefix=$(scripts/mbedtls3.sh | tail -n 1)
cmake -S . -B build/mbedtls3 -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMDUMP_MBEDTLS_ROOT="$mbedtls3_prefix" \
  -DMDUMP_BUILD_BENCH=OFF
cmake --build build/mbedtls3

step "build (clang, ThreadSanitizer)"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMDUMP_SANITIZE=thread -DMDUMP_BUILD_BENCH=OFF
cmake --build build/tsan

step "build (mingw-w64: the Windows DLL, its hosts and tests)"
scripts/windows.sh build

step "test server"
export MDUMP_SERVER_DIR=$root/build/test-server
trap 'scripts/test-server.sh stop' EXIT
scripts/test-server.sh start
# shellcheck disable=SC1091
. "$MDUMP_SERVER_DIR/env"

step "tests (debug)"
ctest --test-dir build/debug --output-on-failure -j "$jobs" -LE reliability

step "tests (Mbed TLS 3.6: protocol and export tests)"
ctest --test-dir build/mbedtls3 --output-on-failure -j "$jobs" -L 'protocol|exports'

step "tests (ThreadSanitizer: sessions and dumps)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L concurrency

step "tests (ASan + UBSan, bounded fuzzing ${fuzz_seconds}s per target)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE reliability

step "reliability, bounded: faults at random moments, hostile servers, leaks, and the figures"
scripts/reliability-report.sh --bounded

step "tests (Windows build under Wine)"
scripts/windows.sh test
