#!/usr/bin/env bash
# Runs the benchmark cases of the hot paths with repetitions and prints their medians (CPU time;
# rates over CPU time, or over the thread's CPU time where a case is timed against memcpy of the
# same bytes, whose share is the `of_memcpy` counter).
# Usage: scripts/bench.sh [repetitions]   (default 5; builds build/x64 first)
# LYR_BENCH=<path> uses an existing benchmark program instead of building one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
bench=${LYR_BENCH:-}
if [[ -z "$bench" ]]; then
  cmake -G Ninja -S "$root" -B "$root/build/x64" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$root/build/x64" --target lyr_bench tslvkf -j "$(nproc)" >/dev/null
  bench="$root/build/x64/bin/lyr_bench"
fi

cases=(
  'BM_ControllerSetTime/tracks:[12]/events:0$'
  'BM_SkinnedUpdateVsMemcpy/'
  'BM_SkinnedUpdatePlain/'
  'BM_TransformPoint3ArrayVsMemcpy/forms:1/'
  'BM_VekReadBinaryFile'
  'BM_VekReadBinary/'
  'BM_MeshLoadBinary'
  'BM_OptimizeGrid_Strip/1000000'
)
filter=$(IFS='|'; echo "${cases[*]}")

echo "machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" --benchmark_filter="$filter" --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true 2>/dev/null |
  awk '/_median/ { sub(/_median/, ""); print }'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
