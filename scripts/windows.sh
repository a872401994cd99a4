#!/usr/bin/env bash
# The Windows build and its tests, on Debian: cross-builds quillfen-mysqldump.dll (with its import
# library), the command-line host and the test programs with mingw-w64, against Mbed TLS 3.6
# cross-built from Debian's source package, then runs the tests under Wine.
#
#   scripts/windows.sh [build|test|all]      (default all)
#
# Installs what is missing: mingw-w64 (posix threads), wine64 and googletest's sources. They are
# not in deps.sh because together they are about 1 GB installed and only this step needs them.
# The tests that use the MariaDB server need its MDUMP_TEST_* variables (scripts/test-server.sh,
# then `. build/test-server/env`); without them they skip, except under CI=true.
#
#   MDUMP_WIN_BUILD_DIR   build tree (default <repo>/build/win64)
#   MDUMP_BUILD_JOBS      parallel compile jobs (default: Ninja's)
#   WINEPREFIX            Wine prefix (default <repo>/build/wine; made on first use)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
what=${1:-all}
case $what in build | test | all) ;; *) echo "usage: $0 [build|test|all]" >&2; exit 2 ;; esac
dir=${MDUMP_WIN_BUILD_DIR:-$root/build/win64}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
export WINEPREFIX=${WINEPREFIX:-$root/build/wine}
start=$(date +%s)

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  timeout 900 apt-get update -q
  timeout 1800 apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ "$what" != test ]; then
  mbedtls_prefix=$(MDUMP_MBEDTLS3_TOOLCHAIN=$toolchain scripts/mbedtls3.sh | tail -n 1)
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DMDUMP_MBEDTLS_ROOT="$mbedtls_prefix" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh"
  timeout 3600 cmake --build "$dir" ${MDUMP_BUILD_JOBS:+-j "$MDUMP_BUILD_JOBS"}
fi

if [ "$what" != build ]; then
  # The prefix once, before tests start Wine programs side by side.
  timeout 600 scripts/wine-run.sh cmd /c exit
  # Each test is bounded by ctest and each Wine program by wine-run.sh; this bounds the lot.
  timeout 1800 ctest --test-dir "$dir" --output-on-failure --timeout 600 -j 2
  # The wineserver lingers for a few seconds after the last program; wait for it to leave.
  timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null || true
fi
echo "windows: $what took $(($(date +%s) - start)) s"
