#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, running apt-get update only when
# something is missing. Sourced or run by the other scripts.
set -euo pipefail

mdump_packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev binutils
  libgtest-dev libgmock-dev libbenchmark-dev libmbedtls-dev
  mariadb-server mariadb-client
  libssl-dev libmariadb-dev
  pkgconf valgrind
)

missing=()
for p in "${mdump_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
