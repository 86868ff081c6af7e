#!/usr/bin/env bash
# Configures and builds one flavour. Usage: scripts/build.sh [flavour]
#   x64 (default): GCC, Release, with tests and benchmarks
#   asan: GCC with AddressSanitizer and UndefinedBehaviorSanitizer
#   m32: GCC, 32-bit x86, tests run under qemu-i386
#   clang: clang, Release, with tests and benchmarks
#   fuzz: clang, the libFuzzer targets
#   tool: Release, only the lyr tool and the library it links (what scripts/run.sh needs)
# Every flavour treats warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-x64}
dir="$root/build/$flavour"
type=RelWithDebInfo
args=(-G Ninja -S "$root" -B "$dir" -DLYR_WERROR=ON)
targets=()
case "$flavour" in
  x64) type=Release ;;
  asan) args+=(-DLYR_SANITIZE=ON -DLYR_BUILD_BENCH=OFF) ;;
  m32) args+=(-DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DLYR_BUILD_BENCH=OFF
              -DCMAKE_LIBRARY_PATH=/usr/lib32
              -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386) ;;
  clang) type=Release
         args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  fuzz) args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLYR_BUILD_FUZZ=ON
               -DLYR_BUILD_TESTS=OFF -DLYR_BUILD_BENCH=OFF -DLYR_SANITIZE=ON) ;;
  tool) type=Release
        args+=(-DLYR_BUILD_TESTS=OFF -DLYR_BUILD_BENCH=OFF)
        targets=(--target lyr_tool) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake "${args[@]}" -DCMAKE_BUILD_TYPE=$type >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
