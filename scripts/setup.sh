#!/usr/bin/env bash
# Installs what the project needs from Debian's packages, when it is missing. Safe to re-run.
# Usage: scripts/setup.sh [run|test|data]
#   run:  what building the library and the tool needs (the main job)
#   test: everything the test command needs: both compilers, GoogleTest, Google Benchmark, the
#         32-bit toolchain and qemu, pkg-config (the default)
#   data: what scripts/fetch-data.sh needs
set -euo pipefail
mode=${1:-test}
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
case "$mode" in
  run) packages=(cmake ninja-build g++ zlib1g-dev libpng-dev libcli11-dev) ;;
  test) packages=(cmake ninja-build g++ clang libgtest-dev libbenchmark-dev zlib1g-dev libpng-dev
                  g++-multilib lib32z1-dev qemu-user binutils pkg-config
                  libtinygltf-dev libtinyobjloader-dev nlohmann-json3-dev libstb-dev libcli11-dev) ;;
  data) packages=(npm) ;;
  *) echo "setup: unknown mode $mode (run, test or data)" >&2; exit 2 ;;
esac
for p in "${packages[@]}"; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q || true
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi
