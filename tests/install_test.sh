#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and uses the result the two ways C libraries are
# used: a tiny C host built with CMake's find_package and with pkg-config, run against it. Also
# checks the library's version and SONAME, and that the installed command-line host finds the
# installed library by itself.
#
#   install_test.sh BUILD_DIR C_COMPILER [SANITIZERS]
#
# SANITIZERS (e.g. address,undefined) is the build's own setting: a host of a sanitized library
# must be linked with the same runtime.
set -euo pipefail

build=$1
cc=$2
sanitize=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
flags=""
extra_libs=""
if [ -n "$sanitize" ]; then
  flags="-fsanitize=$sanitize"
  # The library is C++: clang links the C++ half of the sanitizer runtimes (and the C++ library it
  # needs) into a C program only when asked to.
  if "$cc" --version | grep -q clang; then
    flags="$flags -fsanitize-link-c++-runtime"
    extra_libs="-lstdc++"
  fi
fi

fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "cmake --install failed"; }

real=$(find "$prefix" -name 'libquillfen-mysqldump.so.1.0.0' | head -n 1)
[ -n "$real" ] || fail "no libquillfen-mysqldump.so.1.0.0 installed"
libdir=$(dirname "$real")
[ "$(readlink "$libdir/libquillfen-mysqldump.so.1")" = libquillfen-mysqldump.so.1.0.0 ] || fail "no .so.1 link"
[ "$(readlink "$libdir/libquillfen-mysqldump.so")" = libquillfen-mysqldump.so.1 ] || fail "no .so link"
soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libquillfen-mysqldump.so.1 ] || fail "SONAME is '$soname'"
for f in include/quillfen_mysqldump.h bin/quillfen-mysqldump; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
[ -f "$libdir/cmake/quillfen-mysqldump/quillfen-mysqldump-config.cmake" ] || fail "no CMake package"
[ -f "$libdir/pkgconfig/quillfen-mysqldump.pc" ] || fail "no pkg-config file"

want=$(printf '%s\n' 'quillfen-mysqldump 1.0.0' '{"ok":false,"error":"connect failed to 127.0.0.1"}' \
  'connect failed to 127.0.0.1' '0')

# 1. CMake: find_package(quillfen-mysqldump) and the imported target.
cmake -S "$here/install" -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags $extra_libs" \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "configuring the CMake host failed"; }
cmake --build "$work/cmake-host" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "building the CMake host failed"; }
got=$("$work/cmake-host/tiny_host")
[ "$got" = "$want" ] || fail "CMake host printed:
$got"

# 2. pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pc_flags=$(pkg-config --cflags --libs quillfen-mysqldump)
pc_libdir=$(pkg-config --variable=libdir quillfen-mysqldump)
[ "$(pkg-config --modversion quillfen-mysqldump)" = 1.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2086
"$cc" $flags "$here/install/tiny_host.c" $pc_flags -Wl,-rpath,"$pc_libdir" $extra_libs -o "$work/pc-host" \
  || fail "building with pkg-config's flags ($pc_flags) failed"
got=$("$work/pc-host")
[ "$got" = "$want" ] || fail "pkg-config host printed:
$got"

# 3. The installed command-line host loads the installed library, not the build tree's.
out=$(env -u QUILLFEN_MYSQLDUMP_LIBRARY "$prefix/bin/quillfen-mysqldump" --version) || fail "installed host: $out"
case "$out" in
  *"library: quillfen-mysqldump 1.0.0 ($prefix/"*) ;;
  *) fail "installed host loaded another library: $out" ;;
esac
echo "install_test: installed into $prefix; CMake and pkg-config hosts and the installed host work"
