#!/bin/sh
# run-gtest.sh PREFIX PROGRAM [ARGS...]: runs a GoogleTest program under Wine
# and passes only when every iteration ends in gtest's own summary of success
# and nothing crashed. Under Wine a program that crashes after it started a
# thread can still exit with 0, so the exit code alone proves little.
prefix="$1"
program="$2"
shift 2
iterations=1
for argument in "$@"; do
  case "$argument" in
    --gtest_repeat=*) iterations="${argument#*=}" ;;
  esac
done
output="$(mktemp)" || exit 1
trap 'rm -f "$output"' EXIT
sh "$(dirname "$0")/wine-run.sh" "$prefix" "$program" "$@" >"$output" 2>&1
status=$?
cat "$output"
fail() {
  echo "run-gtest: $*" >&2
  exit 1
}
[ "$status" -eq 0 ] || fail "exit code $status"
# The wording of libstdc++'s terminate handler, of the tests' own crash
# filter and of Wine's unhandled-exception reports.
if grep -Eq 'terminate called|[Uu]nhandled exception|wine: Unhandled|Backtrace:' "$output"; then
  fail "the program crashed"
fi
grep -q '^\[  FAILED  \]' "$output" && fail "a test failed"
passed="$(grep -c '^\[  PASSED  \]' "$output")"
[ "$passed" -eq "$iterations" ] ||
  fail "gtest reported success for $passed of $iterations iterations"
exit 0
