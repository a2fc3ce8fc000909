#!/bin/sh
# Builds the portable code natively with clang and runs its tests under
# AddressSanitizer with UndefinedBehaviorSanitizer (build-asan, with every
# kept fuzz input) and under ThreadSanitizer (build-tsan), then each fuzz
# target for a short while. Any sanitizer report fails the run.
# Usage: scripts/native-test.sh [seconds per fuzz target]   (default: 20)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for preset in native-asan native-tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
sh scripts/fuzz.sh "${1:-20}"
