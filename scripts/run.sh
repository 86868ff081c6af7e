#!/usr/bin/env bash
# The main job: builds everything and runs the command-line tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" x64
"$root/build/x64/bin/lyr" --help
"$root/build/x64/bin/lyr" --version
"$root/build/x64/bin/lyr" demo
