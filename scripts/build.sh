#!/usr/bin/env bash
# Configures and builds one flavour: x64 (default), asan or m32. Usage: scripts/build.sh [flavour]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-x64}
dir="$root/build/$flavour"
args=(-G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$flavour" in
  x64) ;;
  asan) args+=(-DLYR_SANITIZE=ON -DLYR_BUILD_BENCH=OFF) ;;
  m32) args+=(-DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DLYR_BUILD_BENCH=OFF
              -DCMAKE_LIBRARY_PATH=/usr/lib32
              -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386) ;;
  fuzz) args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLYR_BUILD_FUZZ=ON
               -DLYR_BUILD_TESTS=OFF -DLYR_BUILD_BENCH=OFF -DLYR_SANITIZE=ON) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
