#!/bin/sh
# Runs each fuzz target of the native AddressSanitizer build for a while,
# starting from its corpus in tests/fuzz/corpus. New inputs stay in the build
# folder; an input that fails is written to build-asan/fuzz-findings and ends
# the run with an error.
# Usage: scripts/fuzz.sh [seconds per target] [target ...]   (default: 20, all)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-asan"
seconds="${1:-20}"
[ $# -gt 0 ] && shift
targets="${*:-packet_fuzzer records_fuzzer stats_fuzzer shm_fuzzer cmdline_fuzzer}"
mkdir -p "$build/fuzz-findings"
for target in $targets; do
  work="$build/fuzz-work/$target"
  mkdir -p "$work"
  # A ring alone is 24832 bytes; records, packets and command lines are short.
  case "$target" in
    shm_fuzzer) max_len=131072 ;;
    *) max_len=4096 ;;
  esac
  echo "fuzzing $target for ${seconds}s"
  "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=$max_len -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-" \
    "$work" "$root/tests/fuzz/corpus/$target" >"$build/fuzz-work/$target.log" 2>&1 ||
    { tail -n 60 "$build/fuzz-work/$target.log"; exit 1; }
  grep -E "stat::number_of_executed_units|cov:" "$build/fuzz-work/$target.log" | tail -n 2
done
