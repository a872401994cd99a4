#!/usr/bin/env bash
# Builds Mbed TLS 3.6 so the library can also be built and tested against the 3.x API,
# while Debian 12 itself only ships 2.28. The source comes from Debian trixie's source
# package (with Debian's patches applied), fetched through a private apt configuration so
# the machine's own package sources and lists stay as they are. The result is a static,
# position-independent libmbedcrypto (plus libmbedx509/libmbedtls, which the build always
# makes) under an install prefix that is built once and then reused.
#
# Usage: scripts/mbedtls3.sh
#   MDUMP_MBEDTLS3_DIR  cache folder (default: <repo>/build/deps/mbedtls3);
#                       the prefix is $MDUMP_MBEDTLS3_DIR/install
#   MDUMP_MBEDTLS3_TOOLCHAIN  a CMake toolchain file to cross-build with, e.g.
#                       cmake/mingw-w64-x86_64.cmake (default cache folder then:
#                       <repo>/build/deps/mbedtls3-<toolchain file's name>)
# The install prefix is the last (and only) line on stdout; all progress goes to stderr,
# so callers can do: prefix=$(scripts/mbedtls3.sh | tail -n1)
set -euo pipefail

# Keep stdout for the prefix alone: every tool's chatter goes to stderr.
exec 3>&1 1>&2

log() { echo "mbedtls3: $*"; }
die() { echo "mbedtls3: error: $*"; exit 1; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
toolchain=${MDUMP_MBEDTLS3_TOOLCHAIN:-}
cross=()
if [ -n "$toolchain" ]; then
  [ -f "$toolchain" ] || die "no toolchain file $toolchain"
  toolchain=$(cd "$(dirname "$toolchain")" && pwd)/$(basename "$toolchain")
  cross=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  base=${MDUMP_MBEDTLS3_DIR:-$repo/build/deps/mbedtls3-$(basename "$toolchain" .cmake)}
else
  base=${MDUMP_MBEDTLS3_DIR:-$repo/build/deps/mbedtls3}
fi
mkdir -p "$base"
base=$(cd "$base" && pwd)   # absolute, since CMake and apt run from other folders
prefix=$base/install

# In 3.x the version macros live in build_info.h, which version.h includes.
installed_version() {
  local inc=$prefix/include/mbedtls
  local v
  [ -f "$prefix/lib/libmbedcrypto.a" ] && [ -f "$inc/version.h" ] || return 1
  v=$(sed -n 's/^#define MBEDTLS_VERSION_STRING  *"\(3\.[0-9.]*\)".*/\1/p' \
    "$inc/version.h" "$inc/build_info.h" 2>/dev/null || true)
  v=${v%%$'\n'*}
  [ -n "$v" ] && echo "$v"
}

done_with() { log "Mbed TLS $1 ready in $prefix"; echo "$prefix" >&3; exit 0; }

if v=$(installed_version); then done_with "$v"; fi

# Two builds (e.g. two CMake trees configuring at once) must not race on one cache.
exec 9>"$base/.lock"
flock -w 1800 9 || die "timed out waiting for another run holding $base/.lock"
if v=$(installed_version); then done_with "$v"; fi

start=$(date +%s)

# --- tools -------------------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
command -v dpkg-source >/dev/null || missing+=(dpkg-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v cc >/dev/null || missing+=(gcc)
# trixie's InRelease is signed by the bookworm and the trixie archive keys today; the
# bookworm keyring carries the trixie keys from 2023.3+deb12u2 on, which keeps the check
# working once the bookworm key is retired. An older keyring is upgraded, never bypassed.
keyring_version=$(dpkg-query -W -f='${Version}' debian-archive-keyring 2>/dev/null || true)
if ! installed debian-archive-keyring ||
   ! dpkg --compare-versions "$keyring_version" ge 2023.3+deb12u2; then
  missing+=(debian-archive-keyring)
fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  timeout 900 apt-get update -q
  timeout 900 apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# --- source ------------------------------------------------------------------------------
# A private apt setup: its own deb-src list, index folder and cache. SourceList=/dev/null
# and our own SourceParts hide the system's lists from it. The system's apt.conf.d is still
# read (proxies and the like), but its update hooks are cleared: they refresh system-wide
# caches (AppStream, PackageKit) and have no business running for a private index.
apt_dir=$base/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/preferences.d" "$apt_dir/lists/partial" \
  "$apt_dir/cache/archives/partial"
cat >"$apt_dir/sources.list.d/trixie-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: $keyring
EOF
cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$apt_dir/sources.list.d";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "$apt_dir/preferences.d";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
Acquire::Retries "3";
Acquire::http::Timeout "60";
Acquire::Languages "none";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
apt_opts=(-c "$apt_dir/apt.conf")

work=$base/work
rm -rf "$work" "$base/stage"   # leftovers of an interrupted run
mkdir -p "$work/src"
# apt downloads as the unprivileged _apt user when it can write the target folder.
if getent passwd _apt >/dev/null; then chown _apt "$work/src"; fi

log "fetching the trixie source index"
timeout 900 apt-get "${apt_opts[@]}" update -q
log "fetching and unpacking the mbedtls source package"
(cd "$work/src" && timeout 900 apt-get "${apt_opts[@]}" source -q mbedtls/trixie)

src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-*' | head -n1)
[ -n "$src" ] || die "apt-get source left no mbedtls-* folder in $work/src"
version=$(sed -n 's/^#define MBEDTLS_VERSION_STRING  *"\([0-9.]*\)".*/\1/p' \
  "$src/include/mbedtls/build_info.h")
case $version in
  3.6.*) log "source is Mbed TLS $version ($(basename "$src"))" ;;
  *) die "expected Mbed TLS 3.6.x, trixie gave '${version:-unknown}'" ;;
esac

# --- configuration -----------------------------------------------------------------------
# Debian's debian/rules (not its patches) turns these on with scripts/config.py before it
# builds; doing the same makes this the library a trixie system's libmbedtls-dev provides.
# Threading is also what makes PSA's global state (psa_crypto_init, key slots) thread-safe.
# sed instead of config.py, so Python is not needed; each option must be found.
config_h=$src/include/mbedtls/mbedtls_config.h
for opt in MBEDTLS_DEPRECATED_WARNING MBEDTLS_THREADING_C MBEDTLS_THREADING_PTHREAD \
           MBEDTLS_CMAC_C MBEDTLS_SSL_DTLS_SRTP; do
  sed -i "s|^//\\(#define $opt\\)\$|\\1|" "$config_h"
  grep -q "^#define $opt\$" "$config_h" || die "cannot enable $opt in $config_h"
done

# --- build -------------------------------------------------------------------------------
# Release tarballs ship the generated sources; GEN_FILES=OFF uses them, so no Python or
# Perl modules are needed (CMake runs Python only for an optional check). Fatal warnings are off because a newer warning in this compiler must not
# break an otherwise good build. The shared libraries are off: only the static ones are
# linked, into our own shared library, hence PIC.
if [ ! -f "$src/library/error.c" ] ||
   [ ! -f "$src/library/psa_crypto_driver_wrappers_no_static.c" ]; then
  die "$src lacks the pre-generated sources of a release tarball"
fi
cmake -S "$src" -B "$work/build" -G Ninja "${cross[@]}" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DUSE_STATIC_MBEDTLS_LIBRARY=ON \
  -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
  -DENABLE_TESTING=OFF \
  -DENABLE_PROGRAMS=OFF \
  -DGEN_FILES=OFF \
  -DMBEDTLS_FATAL_WARNINGS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib
# Two cores, shared with other builds.
timeout 1800 ninja -C "$work/build" -j2

# Install into a staging root first and move it into place in one step, so an
# interrupted run never leaves a prefix that the check above would take as complete.
DESTDIR=$base/stage cmake --install "$work/build"
rm -rf "$prefix"
mv "$base/stage$prefix" "$prefix"
# Once installed nothing here is read again; the trixie index alone is ~20 MB.
rm -rf "$base/stage" "$work" "$apt_dir/lists" "$apt_dir/cache"

v=$(installed_version) || die "installed tree in $prefix is incomplete"
log "built in $(($(date +%s) - start)) s"
done_with "$v"
