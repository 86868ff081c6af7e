#!/usr/bin/env bash
# The main job: installs what building needs, builds the command-line tool (and the library it
# links, nothing else) and runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" run
"$root/scripts/build.sh" tool
"$root/build/tool/bin/lyr" --help
"$root/build/tool/bin/lyr" --version
"$root/build/tool/bin/lyr" demo
