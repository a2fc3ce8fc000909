#!/bin/sh
# Runs the channel's fault-injection soak (shm_soak) of the native builds for
# longer than the suite does: each seed for a while, under AddressSanitizer
# (build-asan) and then ThreadSanitizer (build-tsan). A failing seed is
# printed with its figures and ends the run with an error; rerun it alone
# with: build-asan/bin/shm_soak <seconds> <seed> 1
# Usage: scripts/soak.sh [seconds per seed] [first seed] [seeds]   (default: 30 1 10)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
first="${2:-1}"
seeds="${3:-10}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for build in build-asan build-tsan; do
  echo "soaking $build: seeds $first to $((first + seeds - 1)), ${seconds}s each"
  # The transport's reconnect lines go to the standard error stream; a
  # sanitizer's report too, so it is kept and shown on failure.
  "$root/$build/bin/shm_soak" "$seconds" "$first" "$seeds" 2>"$root/$build/soak.log" ||
    { grep -v "^\[recv\]" "$root/$build/soak.log" | tail -n 60; exit 1; }
done
