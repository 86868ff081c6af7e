#!/usr/bin/env bash
# Builds and runs every test three ways: x86-64, x86-64 with AddressSanitizer and
# UndefinedBehaviorSanitizer, and 32-bit x86 under qemu-i386; then the x86-64 tests once more with
# the processor-specific math forms switched off. Any warning or failing test fails the run.
# Usage: scripts/test.sh [flavour...]   (default: x64 asan m32 plain)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(x64 asan m32 plain)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
jobs=$(nproc)
failed=()
summary=()
for f in "${flavours[@]}"; do
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
