#!/usr/bin/env bash
# The main job: installs what building needs, builds the command-line tool (and the library it
# links, nothing else), runs it, and renders the sample creature's two animations to PNG frames
# and contact sheets under build/frames.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" run
"$root/scripts/build.sh" tool
lyr="$root/build/tool/bin/lyr"
"$lyr" --help
"$lyr" --version
"$lyr" demo

sample="$root/tools/sample/creature.vek"
frames="$root/build/frames"
echo
echo "Rendering the sample creature ($sample):"
rm -rf "$frames/crawl" "$frames/look"
"$lyr" render "$sample" --frames 0:0.9375:0.0625 --size 200x150 --sheet -o "$frames/crawl"
"$lyr" render "$sample" --set look --frames 0:1.875:0.125 --size 200x150 --sheet -o "$frames/look"
echo
echo "The frames are in $frames/crawl and $frames/look (frame_0000.png ...);"
echo "the contact sheets, every frame on one picture, are:"
echo "  $frames/crawl/sheet.png"
echo "  $frames/look/sheet.png"
