#!/usr/bin/env bash
# Builds and runs every test five ways: x86-64 (GCC, Release); x86-64 with AddressSanitizer and
# UndefinedBehaviorSanitizer; 32-bit x86 under qemu-i386; the x86-64 tests once more with the
# processor-specific math forms switched off; and x86-64 built with clang (Release). Then it
# checks the install (scripts/check-install.sh: consumer programs built against an installed
# copy) and gives every fuzz target a short run (clang, AddressSanitizer). Any warning, failing
# test, failed install check or fuzz finding fails the run.
# Usage: scripts/test.sh [flavour...]   (default: x64 asan m32 plain clang install fuzz)
# FUZZ_SECONDS sets the length of each fuzz run (default 30).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" test || exit 1
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(x64 asan m32 plain clang install fuzz)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
jobs=$(nproc)
failed=()
summary=()
# Runs every fuzz target for FUZZ_SECONDS, seeded with the test data, in a scratch corpus folder.
run_fuzz() {
  local bin="$root/build/fuzz/bin" seconds=${FUZZ_SECONDS:-30} ok=0 total=0
  for target in "$bin"/fuzz_*; do
    [ -x "$target" ] || continue
    local name work
    name=$(basename "$target")
    work=$(mktemp -d)
    case "$name" in
      fuzz_vek_templates) cp "$root"/fuzz/seeds/vek_templates/* "$work"/ ;;
      fuzz_vek_*) cp "$root"/tests/data/vek/*.vkf "$work"/ ;;
      fuzz_mesh_load) cp "$root"/tests/data/meshload/*.vkf "$work"/ ;;
      fuzz_anim_load) cp "$root"/tests/data/animload/*.vkf "$root"/tests/data/vek/anim_*.vkf "$work"/ ;;
      fuzz_patch_load) cp "$root"/tests/data/patch/*.vkf "$work"/ ;;
      fuzz_pmesh_image) cp "$root"/fuzz/seeds/pmesh_image/* "$work"/ ;;
      fuzz_hierarchy_load) cp "$root"/tests/data/hierload/*.vkf "$root"/tests/data/meshload/*.vkf \
        "$root"/tests/data/animload/*.vkf "$root"/tests/data/vek/*.vkf "$root"/tests/data/patch/*.vkf \
        "$work"/ ;;
      fuzz_gltf_import) cp "$root"/../shared/data/gltf/*.gl* "$root"/fuzz/seeds/gltf_import/* "$work"/ ;;
    esac
    total=$((total + 1))
    echo "--- $name (${seconds}s)"
    "$target" "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$root/build/fuzz/$name-" -print_final_stats=1 2>&1 |
      grep -E "^(stat::number_of_executed_units|#[0-9]+ *DONE|==[0-9]+==ERROR|SUMMARY)"
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] && ok=$((ok + 1))
    rm -rf "$work"
  done
  echo "$ok/$total fuzz targets ran clean"
  [ "$ok" -eq "$total" ]
}

for f in "${flavours[@]}"; do
  if [ "$f" = install ]; then
    echo "=== install: install the x64 build, build and run the consumers"
    if "$root/scripts/check-install.sh"; then
      summary+=("install: installed, consumers built and ran")
    else
      failed+=("install")
    fi
    continue
  fi
  if [ "$f" = fuzz ]; then
    echo "=== fuzz: build"
    if ! "$root/scripts/build.sh" fuzz; then failed+=("fuzz (build)"); continue; fi
    echo "=== fuzz: run"
    log="$root/build/fuzz/fuzz.log"
    run_fuzz 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    summary+=("fuzz: $(tail -n1 "$log")")
    [ "$rc" -eq 0 ] || failed+=("fuzz")
    continue
  fi
  build=$f
  env=()
  if [ "$f" = plain ]; then build=x64; env=(DisablePSGP=1); fi
  echo "=== $f: build"
  if ! "$root/scripts/build.sh" "$build"; then failed+=("$f (build)"); continue; fi
  echo "=== $f: test"
  log="$root/build/$build/ctest-$f.log"
  env "${env[@]}" ctest --test-dir "$root/build/$build" -j "$jobs" --output-on-failure \
    --timeout 900 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  summary+=("$f: $(grep -E 'tests passed|tests failed' "$log" | tail -n1)")
  [ "$rc" -eq 0 ] || failed+=("$f")
done
echo
echo "=== summary"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test runs passed: ${flavours[*]}"
