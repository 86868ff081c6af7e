#!/usr/bin/env bash
# Installs what the project needs from Debian's packages, when it is missing. Safe to re-run.
# Usage: scripts/setup.sh [data]   (data: also what scripts/fetch-data.sh needs)
set -euo pipefail
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
packages=(cmake ninja-build g++ clang libgtest-dev libbenchmark-dev zlib1g-dev
          g++-multilib lib32z1-dev qemu-user binutils
          libtinygltf-dev libtinyobjloader-dev nlohmann-json3-dev libstb-dev)
[ "${1:-}" = data ] && packages+=(npm)
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
