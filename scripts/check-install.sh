#!/usr/bin/env bash
# Checks the library as another project sees it: installs a build into a temporary prefix, then
# builds and runs the consumer programs of packaging/consumers against the install, once through
# find_package and once through pkg-config, and once more with the library added as a
# subdirectory of the consumer's own build.
# Usage: scripts/check-install.sh [build folder]   (default: build/x64, built first if needed)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/x64}
[ $# -gt 0 ] || "$root/scripts/build.sh" x64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
consumers=$root/packaging/consumers
gen=(-G Ninja -DCMAKE_BUILD_TYPE=Release)
jobs=$(nproc)

echo "--- install into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'libLyr9abAnim.so.1.0.0' -printf '%h\n' | head -n1)
[ -n "$lib" ] || { echo "libLyr9abAnim.so.1.0.0 is not installed" >&2; exit 1; }
for f in libLyr9abAnim.so libLyr9abAnim.so.1 libLyr9abAnim-static.a libtsl9.so libtslvkf.so \
         pkgconfig/Lyr9abAnim.pc cmake/Lyr9abAnim/Lyr9abAnimConfig.cmake; do
  [ -e "$lib/$f" ] || { echo "missing from the install: $f" >&2; exit 1; }
done
objdump -p "$lib/libLyr9abAnim.so.1.0.0" | grep -q 'SONAME *libLyr9abAnim.so.1$' ||
  { echo "the shared library's soname is not libLyr9abAnim.so.1" >&2; exit 1; }
"$prefix/bin/lyr" --version

echo "--- find_package"
cmake "${gen[@]}" -S "$consumers/cmake" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" -j "$jobs" >/dev/null
"$work/cmake/uses_cxx_api"
"$work/cmake/uses_exports"

echo "--- pkg-config"
export PKG_CONFIG_PATH=$lib/pkgconfig
libdir=$(pkg-config --variable=libdir Lyr9abAnim)
# shellcheck disable=SC2046 # the flags are meant to split into words
${CXX:-c++} -std=c++17 -o "$work/uses_exports" "$consumers/pkgconfig/uses_exports.cpp" \
  $(pkg-config --cflags --libs Lyr9abAnim) -Wl,-rpath,"$libdir"
"$work/uses_exports"

echo "--- add_subdirectory"
cmake "${gen[@]}" -S "$consumers/cmake" -B "$work/embed" -DLYR_SOURCE_DIR="$root" >/dev/null
cmake --build "$work/embed" -j "$jobs" >/dev/null
"$work/embed/uses_cxx_api"
"$work/embed/uses_exports"
echo "install check passed"
